"""Server package of the REST API that publishes relational databases over HTTP.

The package holds the server's own modules (settings constants, the
configuration store, authentication, request tracking and URL utilities)
and, once built, the compiled ``roots`` module whose classes the routes use
as root factories.  Importing the package itself loads none of them.
"""
