"""Views of the server."""
