"""Authentication policies of the server."""
