"""Fixtures shared by every test folder."""
from support.anthropic_stub import direct_sdk_env, messages_server  # noqa: F401
