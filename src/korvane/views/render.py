"""Answers in the data formats the demo writes: JSON, CSV and XML (with
an XML schema for schema requests).

Every answer is written into ``request.response``, never a new response
object: the contexts add headers there (the query-string key "Warning")
that must reach the client.
"""

import csv
import io
import json
import math
import re
from xml.etree import ElementTree as ET

from pyramid.httpexceptions import HTTPNotAcceptable

from korvane.exceptions import HTTPUnsupportedFormat

XS = "http://www.w3.org/2001/XMLSchema"
_XML_NAME = re.compile(r"^[A-Za-z_][A-Za-z0-9_.\-]*$")
#: Characters an XML 1.0 document cannot hold, not even as references.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def _escape(found):
    """A character matched, written as its backslash escape."""
    return found.group().encode("unicode_escape").decode("ascii")


#: What a header value may hold as it is: printable ASCII.
_NOT_HEADER_TEXT = re.compile(r"[^\x20-\x7e]")


def header_text(text):
    """``text`` fit for a header value: every character but printable
    ASCII written as a backslash escape ("\\r", "\\x7f", "\\u20ac").  A
    control character would break the header (a line break ends it, and
    what follows would be read as a header of its own); other characters
    beyond ASCII have no agreed encoding there."""
    return _NOT_HEADER_TEXT.sub(_escape, text)


#: What would break a log line, or play tricks on a terminal showing it
#: (reordering text included).
_NOT_LOG_TEXT = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def log_text(text):
    """``text`` (or ``str`` of it) fit for one log line: control characters
    written as backslash escapes, so a value a client chose (a path, a
    statement's parameter in SQLite's message) cannot end the line and
    forge another, nor send escape sequences to a terminal."""
    return _NOT_LOG_TEXT.sub(_escape, str(text))


def json_response(request, data):
    response = request.response
    response.content_type = "application/json"
    response.charset = "utf-8"
    # One line: the C encoder writes it (an indented dump is several times
    # slower on the larger answers).
    try:
        response.text = json.dumps(data, default=_json_default, allow_nan=False)
    except ValueError:
        # A REAL column can hold infinities (and NaN), which JSON has no
        # number for: they are written as null, as browsers write them.
        response.text = json.dumps(_finite(data), default=_json_default, allow_nan=False)
    return response


def _finite(value):
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(item) for item in value]
    return value


def _json_default(value):
    if isinstance(value, (set, frozenset)):
        return sorted(value)
    if isinstance(value, bytes):
        return value.hex()
    raise TypeError("{!r} is not JSON serialisable".format(value))


def _csv_row(values):
    # A BLOB is written in hex, as JSON and XML write it, not as the
    # Python literal the writer would make of it.
    return [value.hex() if isinstance(value, bytes) else value for value in values]


def csv_response(request, columns, rows):
    """``rows`` are sequences in the order of ``columns``."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\r\n")
    writer.writerow(columns)
    writer.writerows(map(_csv_row, rows))
    response = request.response
    response.content_type = "text/csv"
    response.charset = "utf-8"
    response.text = buffer.getvalue()
    return response


def xml_response(request, element):
    response = request.response
    response.content_type = "application/xml"
    response.charset = "utf-8"
    ET.indent(element)
    # A parser reads a carriage return in text as a line feed: written as a
    # reference it stays what it was.  (Attribute values have theirs escaped
    # already, and the markup holds none.)
    text = ET.tostring(element, encoding="unicode").replace("\r", "&#13;")
    found = _NOT_XML.search(text)
    if found:
        # Written anyway, the document would not parse; changed, a value
        # would be lost.  The client can ask for a format that carries it.
        raise HTTPNotAcceptable(
            explanation="Data format 'xml' cannot carry this answer: it holds the character U+{:04X},"
            " which XML does not allow; JSON and CSV carry it.".format(ord(found.group()))
        )
    response.text = '<?xml version="1.0" encoding="utf-8"?>\n' + text
    return response


def _text(value):
    if value is None:
        return None
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, bytes):
        return value.hex()
    return str(value)


def to_element(tag, value):
    """An element for plain data: a mapping's keys become child elements
    (or ``<entry key="...">`` where a key is no XML name), a list's items
    become ``<item>`` children, anything else becomes text."""
    element = ET.Element(tag)
    if isinstance(value, dict):
        for key, item in value.items():
            key = str(key)
            if _XML_NAME.match(key) and not key.lower().startswith("xml"):
                element.append(to_element(key, item))
            else:
                child = to_element("entry", item)
                child.set("key", key)
                element.append(child)
    elif isinstance(value, (list, tuple, set, frozenset)):
        items = sorted(value) if isinstance(value, (set, frozenset)) else value
        for item in items:
            element.append(to_element("item", item))
    else:
        text = _text(value)
        if text is not None:
            element.text = text
    return element


def _scalar_attributes(meta):
    return {
        key: _text(value)
        for key, value in meta.items()
        if value is not None and isinstance(value, (str, int, float))
    }


def rows_element(columns, rows, meta):
    """``<rows>`` of ``<row>`` elements, one ``<field name="...">`` per
    column; a NULL is an empty field marked ``null="true"``.  Column names
    stay attribute values, so any name is safe.  The scalar items of
    ``meta`` become attributes of ``<rows>``."""
    root = ET.Element("rows", _scalar_attributes(meta))
    for values in rows:
        row = ET.SubElement(root, "row")
        for column, value in zip(columns, values):
            field = ET.SubElement(row, "field", name=column)
            if value is None:
                field.set("null", "true")
            else:
                field.text = _text(value)
    return root


def rows_schema(columns, meta):
    """The XML schema of what ``rows_element`` writes for ``columns`` and
    ``meta``: the field names are its enumeration."""
    ET.register_namespace("xs", XS)

    def xs(tag, parent, **attributes):
        return ET.SubElement(parent, "{%s}%s" % (XS, tag), attributes)

    schema = ET.Element("{%s}schema" % XS, elementFormDefault="qualified")
    rows_type = xs("complexType", xs("element", schema, name="rows"))
    row = xs("element", xs("sequence", rows_type), name="row", minOccurs="0", maxOccurs="unbounded")
    # Every item a data document of the same request can carry is declared,
    # also those this request leaves empty (a "limit" given with the data
    # but not with the schema request).
    for attribute, value in meta.items():
        if value is None or isinstance(value, (str, int, float)):
            xs("attribute", rows_type, name=attribute, type="xs:string")
    field = xs("element", xs("sequence", xs("complexType", row)), name="field", minOccurs="0", maxOccurs="unbounded")
    extension = xs("extension", xs("simpleContent", xs("complexType", field)), base="xs:string")
    names = xs("restriction", xs("simpleType", xs("attribute", extension, name="name", use="required")), base="xs:string")
    for column in columns:
        xs("enumeration", names, value=column)
    xs("attribute", extension, name="null", type="xs:boolean")
    return schema


def table_response(request, response_format, columns, rows, meta, schema=False):
    """Rows of a query or table in ``response_format`` ("json", "csv" or
    "xml"); ``schema`` asks for their description instead of the data.
    Any other format is refused with 406."""
    if response_format == "json":
        if schema:
            return json_response(request, dict(meta, columns=list(columns)))
        return json_response(
            request, dict(meta, columns=list(columns), rows=[dict(zip(columns, row)) for row in rows])
        )
    if response_format == "csv":
        return csv_response(request, columns, [] if schema else rows)
    if response_format == "xml":
        if schema:
            return xml_response(request, rows_schema(columns, meta))
        return xml_response(request, rows_element(columns, rows, meta))
    raise HTTPUnsupportedFormat(response_format)


def data_response(request, response_format, data, tag, table=None):
    """Plain data in JSON or XML, or in CSV when ``table`` gives it as
    (columns, rows).  Any other format is refused with 406."""
    if response_format == "json":
        return json_response(request, data)
    if response_format == "xml":
        return xml_response(request, to_element(tag, data))
    if response_format == "csv" and table is not None:
        return csv_response(request, *table)
    raise HTTPUnsupportedFormat(response_format)
