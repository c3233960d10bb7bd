"""The OpenAPI document of the service: the Soft Binding Resolution API's
routes, as this service answers them."""

from __future__ import annotations

from typing import Any

from ._matching import ALGORITHMS


def _error(description: str) -> dict[str, Any]:
    return {"description": description,
            "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}


def _max_results() -> dict[str, Any]:
    return {"name": "maxResults", "in": "query", "required": False,
            "description": "The largest number of matches to return.",
            "schema": {"type": "integer", "minimum": 1, "default": 10}}


def _alg(required: bool, name: str = "alg") -> dict[str, Any]:
    return {"name": name, "in": "query", "required": required, "schema": {"$ref": "#/components/schemas/Alg"}}


_MATCHES = {"description": "The manifests that match, best first.",
            "content": {"application/json": {"schema": {"$ref": "#/components/schemas/MatchesResponse"}}}}


def document(secured: bool) -> dict[str, Any]:
    """The document; `secured` when the service asks for bearer tokens."""
    common = {"400": _error("An invalid parameter or value."), "500": _error("A failure of the service.")}
    if secured:
        common["401"] = _error("A missing or invalid bearer token.")
    security = [{"bearerAuth": []}] if secured else []
    doc: dict[str, Any] = {
        "openapi": "3.0.3",
        "info": {
            "title": "C2PA Soft Binding Resolution API (text)",
            "version": "1.0.0",
            "description": "Finds the C2PA manifests of plain texts through their soft bindings.",
        },
        "paths": {
            "/matches/byBinding": {
                "get": {
                    "operationId": "getMatchesByBinding",
                    "summary": "Find the manifests matching one soft-binding value.",
                    "parameters": [_alg(True), {"name": "value", "in": "query", "required": True,
                                                "description": "The binding value, base64.",
                                                "schema": {"type": "string", "format": "byte"}},
                                   _max_results()],
                    "responses": {"200": _MATCHES, **common, "414": _error("The query is too long for GET.")},
                    "security": security,
                },
                "post": {
                    "operationId": "postMatchesByBinding",
                    "summary": "Find the manifests matching one soft-binding value.",
                    "parameters": [_max_results()],
                    "requestBody": {"required": True, "content": {"application/json": {
                        "schema": {"$ref": "#/components/schemas/BindingQuery"}}}},
                    "responses": {"200": _MATCHES, **common, "413": _error("The body is too large.")},
                    "security": security,
                },
            },
            "/matches/byContent": {
                "post": {
                    "operationId": "getMatchesByContent",
                    "summary": "Find the manifests matching a text, from the soft-binding values it gives.",
                    "parameters": [_alg(False), _max_results(), _alg(False, "hintAlg"),
                                   {"name": "hintValue", "in": "query", "required": False,
                                    "description": "A binding value of hintAlg already known, base64.",
                                    "schema": {"type": "string", "format": "byte"}}],
                    "requestBody": {"required": True, "content": {"text/*": {
                        "schema": {"type": "string", "format": "binary"}}}},
                    "responses": {"200": _MATCHES, **common, "413": _error("The body is too large."),
                                  "415": _error("The asset is not text.")},
                    "security": security,
                },
            },
            "/manifests/{manifestId}": {
                "get": {
                    "operationId": "getManifestById",
                    "summary": "The C2PA manifest store registered for a manifest id.",
                    "parameters": [{"name": "manifestId", "in": "path", "required": True,
                                    "schema": {"type": "string"}},
                                   {"name": "returnActiveManifest", "in": "query", "required": False,
                                    "schema": {"type": "boolean", "default": False}}],
                    "responses": {"200": {"description": "The manifest store.",
                                          "content": {"application/c2pa": {
                                              "schema": {"type": "string", "format": "binary"}}}},
                                  **common, "404": _error("No manifest is registered under this id.")},
                    "security": security,
                },
            },
            "/services/supportedAlgorithms": {
                "get": {
                    "operationId": "getSupportedAlgorithms",
                    "summary": "The soft-binding algorithms this service resolves.",
                    "responses": {"200": {"description": "The algorithms.", "content": {"application/json": {
                        "schema": {"$ref": "#/components/schemas/AlgList"}}}},
                                  "500": common["500"]},
                    "security": [],
                },
            },
        },
        "components": {
            "schemas": {
                "Alg": {"type": "string", "enum": list(ALGORITHMS)},
                "BindingQuery": {"type": "object", "required": ["alg", "value"], "properties": {
                    "alg": {"$ref": "#/components/schemas/Alg"},
                    "value": {"type": "string", "format": "byte"}}},
                "Match": {"type": "object", "required": ["manifestId"], "properties": {
                    "manifestId": {"type": "string"},
                    "endpoint": {"type": "string"},
                    "similarityScore": {"type": "integer", "minimum": 0, "maximum": 100}}},
                "MatchesResponse": {"type": "object", "required": ["matches"], "properties": {
                    "matches": {"type": "array", "items": {"$ref": "#/components/schemas/Match"}}}},
                "AlgList": {"type": "object", "properties": {
                    "watermarks": {"type": "array", "items": {"type": "object", "properties": {
                        "alg": {"type": "string"}}}},
                    "fingerprints": {"type": "array", "items": {"type": "object", "properties": {
                        "alg": {"type": "string"}}}}}},
                "Error": {"type": "object", "required": ["error"], "properties": {
                    "error": {"type": "string"}, "status": {"type": "integer"}}},
            },
        },
    }
    if secured:
        doc["components"]["securitySchemes"] = {"bearerAuth": {"type": "http", "scheme": "bearer"}}
    return doc
