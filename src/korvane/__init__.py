"""Server package of the REST API that publishes relational databases over HTTP.

The package holds the server's own modules (settings constants, the
configuration store, authentication, request tracking and URL utilities)
and, once built, the compiled ``roots`` module whose classes the routes use
as root factories.  Importing the package itself loads none of them.
"""

import warnings

# Pyramid 1.10 imports pkg_resources and re-exports a deprecated name that
# the compiled module imports; both warn on every start, about code that is
# not ours.  Silence exactly those two, before anything imports Pyramid.
warnings.filterwarnings(
    "ignore", message=r"pkg_resources is deprecated as an API", category=UserWarning, module=r"pyramid\.path"
)
warnings.filterwarnings(
    "ignore", message=r"has_permission: As of Pyramid 1\.5", category=DeprecationWarning
)
