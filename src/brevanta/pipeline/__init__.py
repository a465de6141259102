"""A run's phases, for any front end: nothing here knows of terminals or HTTP.

The command line (`brevanta.cli`) and the browser (`brevanta.web`) call into
this package; each phase, check and message lives here once.
"""
