"""HTTP errors of the server's own, beyond those of ``pyramid.httpexceptions``."""

from pyramid.httpexceptions import HTTPNotAcceptable


class HTTPUnsupportedFormat(HTTPNotAcceptable):
    """406 Not Acceptable for a data format the resource does not serve.

    ``response_format`` is kept on the exception so that an error view can
    report it.  Unless the caller passes an ``explanation`` of its own, the
    explanation names the format.  Other keyword arguments are those of any
    Pyramid HTTP exception (``headers``, ``detail``, ...).
    """

    def __init__(self, response_format, **kw):
        kw.setdefault(
            "explanation",
            "Data format '{}' is not supported for this resource.".format(
                response_format
            ),
        )
        super().__init__(**kw)
        self.response_format = response_format
