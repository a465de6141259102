"""What a fresh interpreter started by a test runs first."""

# The SDK loads when something reads it, as in the command (brevanta.deferred_sdk): a child that only
# looks at gapscope's own behaviour does not spend three seconds of processor time loading it.
SDK_ON_FIRST_USE = "from brevanta import deferred_sdk; deferred_sdk.defer()\n"
