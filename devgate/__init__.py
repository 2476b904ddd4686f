"""The development gate: a local HTTPS vault gate for demos and end-to-end tests."""
