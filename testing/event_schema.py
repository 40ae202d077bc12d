"""Checks event lines against the JSON Schemas integrators get (docs/*.schema.json).

validate_send_line(obj) for zal-ndi-send's lines, validate_supervise_line(obj) for
zal-ndi-supervise's; both raise AssertionError naming the line and what does not match.
Uses Debian's python3-jsonschema.
"""

import json
import pathlib

import jsonschema

DOCS = pathlib.Path(__file__).resolve().parents[1] / "docs"
SEND_SCHEMA = json.loads((DOCS / "events.schema.json").read_text())
SUPERVISE_SCHEMA = json.loads((DOCS / "supervise-events.schema.json").read_text())


def _validator(schema):
    jsonschema.Draft202012Validator.check_schema(schema)
    try:  # jsonschema >= 4.18 resolves references through a registry
        import referencing
        registry = referencing.Registry().with_resources(
            (s["$id"], referencing.Resource.from_contents(s)) for s in (SEND_SCHEMA, SUPERVISE_SCHEMA))
        return jsonschema.Draft202012Validator(schema, registry=registry)
    except ImportError:  # Debian 12's 4.10
        store = {s["$id"]: s for s in (SEND_SCHEMA, SUPERVISE_SCHEMA)}
        resolver = jsonschema.RefResolver.from_schema(schema, store=store)
        return jsonschema.Draft202012Validator(schema, resolver=resolver)


_SEND = _validator(SEND_SCHEMA)
_SUPERVISE = _validator(SUPERVISE_SCHEMA)


def _check(validator, obj, program):
    error = jsonschema.exceptions.best_match(validator.iter_errors(obj))
    if error is not None:
        place = "/" + "/".join(str(p) for p in error.absolute_path)
        raise AssertionError("%s line does not match its schema at %s: %s\n%s"
                             % (program, place, error.message, json.dumps(obj)))


def validate_send_line(obj):
    _check(_SEND, obj, "zal-ndi-send")


def validate_supervise_line(obj):
    _check(_SUPERVISE, obj, "zal-ndi-supervise")
