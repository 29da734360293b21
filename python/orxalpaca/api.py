"""HTTP routes of the Alpaca device API (``/api/v1/camera/{n}/{member}``) and
the management API (``/management/...``)."""
from __future__ import annotations

import asyncio
import itertools
import json
import logging
from typing import Any, Optional, Sequence

from aiohttp import web

from . import errors
from .camera import CameraDevice
from .errors import AlpacaError
from .imaging import Image, imagebytes_header
from .params import BadRequest, Params

log = logging.getLogger(__name__)

IMAGEBYTES = "application/imagebytes"
DEVICES = web.AppKey("devices", list)
SERVER_INFO = web.AppKey("server_info", dict)
_TRANSACTIONS = web.AppKey("transactions", itertools.count)
POOL = web.AppKey("pool", object)
SEND_TIMEOUT = web.AppKey("send_timeout", float)
#: large answers go out in pieces of this size, each once the client took the last
CHUNK = 256 * 1024


async def request_params(request: web.Request) -> Params:
    """Query string parameters for GET (names in any casing), form fields for
    PUT (names as the interface writes them)."""
    if request.method == "PUT":
        if not request.body_exists:
            return Params({}, exact=True)
        if request.content_type not in ("", "application/x-www-form-urlencoded", "multipart/form-data"):
            raise BadRequest(f"PUT parameters must be form data, not {request.content_type}")
        try:
            form = await request.post()
        except (ValueError, UnicodeDecodeError) as exc:
            raise BadRequest(f"unreadable form data: {exc}") from None
        return Params({k: v for k, v in form.items() if isinstance(v, str)}, exact=True)
    return Params(request.query)


def _envelope(params: Params, request: web.Request) -> dict[str, Any]:
    return {"ClientTransactionID": params.transaction_id("ClientTransactionID"),
            "ServerTransactionID": next(request.app[_TRANSACTIONS])}


def _json(body: dict[str, Any]) -> web.Response:
    return web.Response(text=json.dumps(body), content_type="application/json")


def value_response(params: Params, request: web.Request, value: Any = None, has_value: bool = True) -> web.Response:
    body = _envelope(params, request)
    if has_value:
        body["Value"] = value
    body.update(ErrorNumber=0, ErrorMessage="")
    return _json(body)


def error_response(params: Params, request: web.Request, exc: AlpacaError) -> web.Response:
    body = _envelope(params, request)
    body.update(ErrorNumber=exc.number, ErrorMessage=exc.message)
    return _json(body)


def _accepts_imagebytes(request: web.Request) -> bool:
    for part in request.headers.getall("Accept", []):
        for media in part.split(","):
            if media.split(";")[0].strip().lower() == IMAGEBYTES:
                return True
    return False


async def _stream(request: web.Request, response: web.StreamResponse, parts: Sequence[Any]) -> None:
    """Send the parts in chunks, each when the client has taken the one before
    (so a client that stops reading holds no more than a chunk of memory);
    a client that takes nothing for the send time-out is cut off."""
    timeout = request.app[SEND_TIMEOUT]
    try:
        await response.prepare(request)
        for part in parts:
            view = memoryview(part).cast("B")
            for at in range(0, len(view), CHUNK):
                await asyncio.wait_for(response.write(view[at:at + CHUNK]), timeout)
        await asyncio.wait_for(response.write_eof(), timeout)
    except (ConnectionError, asyncio.TimeoutError) as exc:
        what = "stopped reading" if isinstance(exc, asyncio.TimeoutError) else "left"
        log.info("%s: the client %s during the image download", request.remote, what)
        if request.transport is not None:
            request.transport.abort()


async def image_response(params: Params, request: web.Request, image: Image) -> web.StreamResponse:
    envelope = _envelope(params, request)
    if _accepts_imagebytes(request):
        body = image.imagebytes_body()
        header = imagebytes_header(0, envelope["ClientTransactionID"], envelope["ServerTransactionID"],
                                   transmission_type=image.transmission_type, dims=image.dims)
        response = web.StreamResponse(headers={"Content-Type": IMAGEBYTES})
        response.content_length = len(header) + len(body)
        await _stream(request, response, (header, body))
        return response
    value = await _in_pool(request, image.json_value)
    head = json.dumps({"Type": 2, "Rank": image.rank, **envelope, "ErrorNumber": 0, "ErrorMessage": ""})
    parts = (head[:-1].encode() + b', "Value": ', value, b"}")
    response = web.StreamResponse(headers={"Content-Type": "application/json; charset=utf-8"})
    response.content_length = sum(len(p) for p in parts)
    await _stream(request, response, parts)
    return response


async def _in_pool(request: web.Request, fn: Any) -> Any:
    return await asyncio.get_running_loop().run_in_executor(request.app[POOL], fn)


def device(request: web.Request) -> CameraDevice:
    if request.match_info["device_type"] != "camera":    # lower case only, as the interface writes it
        raise BadRequest(f"no device type {request.match_info['device_type']!r} here (only camera)")
    text = request.match_info["number"]
    devices: Sequence[CameraDevice] = request.app[DEVICES]
    if not (text.isascii() and text.isdigit()) or len(text) > 9 or int(text) >= len(devices):
        raise BadRequest(f"no camera number {text} (this server has {len(devices)}: 0..{len(devices) - 1})")
    return devices[int(text)]


async def device_member(request: web.Request) -> web.StreamResponse:
    params = Params({})
    try:
        params = await request_params(request)
        dev = device(request)
        member = request.match_info["member"].lower()
        handler = dev.handler(request.method, member)
        if handler is None:
            other = "PUT" if request.method == "GET" else "GET"
            if dev.handler(other, member) is not None:
                raise BadRequest(f"{member} is not available with {request.method} (use {other})")
            raise BadRequest(f"the camera has no member {member!r}")
        value = await handler(params)
    except BadRequest as exc:
        return web.Response(status=400, text=str(exc))
    except AlpacaError as exc:
        return error_response(params, request, exc)
    if isinstance(value, Image):
        return await image_response(params, request, value)
    return value_response(params, request, value, has_value=request.method == "GET")


async def api_versions(request: web.Request) -> web.Response:
    return value_response(Params(request.query), request, [1])


async def description(request: web.Request) -> web.Response:
    return value_response(Params(request.query), request, request.app[SERVER_INFO])


async def configured_devices(request: web.Request) -> web.Response:
    return value_response(Params(request.query), request, [
        {"DeviceName": d.name, "DeviceType": "Camera", "DeviceNumber": d.number, "UniqueID": d.unique_id}
        for d in request.app[DEVICES]])


@web.middleware
async def no_tracebacks(request: web.Request, handler: Any) -> web.StreamResponse:
    """Anything unexpected is logged here and answered as an Alpaca error."""
    try:
        return await handler(request)
    except web.HTTPException:
        raise
    except Exception:
        log.exception("%s %s failed", request.method, request.path)
        if request.path.startswith("/api/"):
            return error_response(Params(request.query), request,
                                  AlpacaError(errors.UNSPECIFIED, "internal server error (see the server log)"))
        return web.Response(status=500, text="internal server error (see the server log)")


def add_routes(app: web.Application, devices: list[CameraDevice], server_info: dict[str, str],
               pool: Optional[Any], send_timeout: float) -> None:
    app[DEVICES] = devices
    app[SERVER_INFO] = server_info
    app[_TRANSACTIONS] = itertools.count(1)
    app[POOL] = pool
    app[SEND_TIMEOUT] = send_timeout
    app.router.add_route("GET", "/api/v1/{device_type}/{number}/{member}", device_member)
    app.router.add_route("PUT", "/api/v1/{device_type}/{number}/{member}", device_member)
    app.router.add_get("/management/apiversions", api_versions)
    app.router.add_get("/management/v1/description", description)
    app.router.add_get("/management/v1/configureddevices", configured_devices)
    for prefix in ("/api/", "/management/"):
        app.router.add_route("*", prefix + "{rest:.*}", unknown_path)


async def unknown_path(request: web.Request) -> web.Response:
    return web.Response(status=400, text=f"no {request.method} {request.path} here (API version v1, "
                                          "/api/v1/camera/{number}/{member} or /management/...)")
