"""Helpers shared by the server's views."""

from html import escape

from pyramid.httpexceptions import HTTPOk

_GUI_PAGE = """\
<!DOCTYPE html>
<html>
 <head>
  <meta charset="utf-8">
  <title>{path}</title>
 </head>
 <body data-path="{path}">
  <noscript>The browser interface for {path} needs JavaScript.</noscript>
 </body>
</html>
"""


def gui_response_exception(request):
    """Return, not raise, the exception that answers ``request`` with the
    browser interface's page.

    The caller raises it to stop building the request's context; Pyramid
    then sends it as a 200 text/html response.  The page names the
    requested path, HTML-escaped, so the interface's script knows what to
    load.
    """
    page = _GUI_PAGE.format(path=escape(request.path))
    return HTTPOk(content_type="text/html", charset="utf-8", text=page)
