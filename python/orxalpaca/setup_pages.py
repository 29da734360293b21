"""Setup pages: the server's page listing its cameras and one page per camera
with its state, a preview of the latest image and its main settings. The
camera page reads and changes the camera through the Alpaca API itself."""
from __future__ import annotations

import asyncio
import html

from aiohttp import web

from .api import DEVICES, POOL
from .camera import CameraDevice

_STYLE = """
body{font-family:system-ui,sans-serif;margin:0 auto;max-width:960px;padding:12px;background:#111;color:#ddd}
a{color:#8cf}h1{font-size:1.4em}table{border-collapse:collapse;width:100%}
td,th{padding:6px 4px;border-bottom:1px solid #333;text-align:left}
img{max-width:100%;height:auto;background:#222;min-height:60px;display:block}
label{display:block;margin:6px 0}input,select,button{font-size:1em;padding:6px;margin-left:4px}
#message{min-height:1.3em;color:#fc8}
"""

_PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title><style>{style}</style></head><body>{body}</body></html>"""

_CAMERA_BODY = """
<p><a href="/setup">All cameras</a></p>
<h1 id="name">{name}</h1>
<table id="state"><tbody></tbody></table>
<p><button id="connect"></button></p>
<img id="preview" alt="latest image">
<form id="settings">
<label>Gain <input id="gain" name="Gain" type="number"></label>
<label>Offset <input id="offset" name="Offset" type="number"></label>
<label>Readout mode <select id="readoutmode" name="ReadoutMode">{modes}</select></label>
<label>Binning <select id="binx" name="BinX">{bins}</select></label>
{cooling}
<button type="submit" id="apply">Apply</button>
</form>
<p><label>Exposure (s) <input id="duration" type="number" value="1" step="any" min="0"></label>
<button id="expose">Expose</button></p>
<p id="message"></p>
<script>
const base = "/api/v1/camera/{number}/";
const msg = t => document.getElementById("message").textContent = t;
async function get(member) {{
  const r = await (await fetch(base + member)).json();
  if (r.ErrorNumber) throw new Error(member + ": " + r.ErrorMessage);
  return r.Value;
}}
async function put(member, fields) {{
  const r = await fetch(base + member, {{method: "PUT", body: new URLSearchParams(fields)}});
  if (!r.ok) throw new Error(member + ": " + await r.text());
  const j = await r.json();
  if (j.ErrorNumber) throw new Error(member + ": " + j.ErrorMessage);
}}
const STATES = ["Idle", "Waiting", "Exposing", "Reading", "Downloading", "Error"];
const shown = (name, value) => name === "CameraState" ? (STATES[value] ?? value) : value;
let connected = false, lastImage = null, busy = false;
async function refresh() {{
  try {{
    connected = await get("connected");
    document.getElementById("connect").textContent = connected ? "Disconnect" : "Connect";
    document.getElementById("settings").hidden = !connected;
    const rows = [["Connected", connected]];
    if (connected) {{
      for (const item of await get("devicestate")) {{
        rows.push([item.Name, shown(item.Name, item.Value)]);
        if (item.Name === "CameraState") busy = item.Value !== 0 && item.Value !== 5;
      }}
    }}
    document.querySelector("#state tbody").innerHTML =
      rows.map(([k, v]) => `<tr><th>${{k}}</th><td data-name="${{k}}">${{v}}</td></tr>`).join("");
    if (connected && await get("imageready")) {{
      const start = await get("lastexposurestarttime");
      if (start !== lastImage) {{
        lastImage = start;
        msg("Image of " + start + " UTC");
        document.getElementById("preview").src = "/setup/v1/camera/{number}/preview.png?t=" + encodeURIComponent(start);
      }}
    }}
  }} catch (e) {{ msg(e.message); }}
}}
async function loadSettings() {{
  for (const id of ["gain", "offset", "readoutmode", "binx"{cooling_ids}]) {{
    try {{
      const v = await get(id);
      const el = document.getElementById(id);
      if (el.type === "checkbox") el.checked = v; else el.value = v;
    }} catch (e) {{}}
  }}
}}
document.getElementById("connect").onclick = async () => {{
  try {{ await put("connected", {{Connected: !connected}}); await refresh(); if (connected) await loadSettings(); msg(""); }}
  catch (e) {{ msg(e.message); }}
}};
document.getElementById("settings").onsubmit = async ev => {{
  ev.preventDefault();
  try {{
    for (const el of ev.target.elements) {{
      if (!el.name) continue;
      await put(el.id, {{[el.name]: el.type === "checkbox" ? el.checked : el.value}});
    }}
    if (document.getElementById("binx")) {{
      const b = Number(document.getElementById("binx").value);
      await put("startx", {{StartX: 0}}); await put("starty", {{StartY: 0}});
      await put("numx", {{NumX: Math.floor({width} / b)}}); await put("numy", {{NumY: Math.floor({height} / b)}});
    }}
    await loadSettings(); msg("Settings applied");
  }} catch (e) {{ msg(e.message); }}
}};
document.getElementById("expose").onclick = async () => {{
  try {{ await put("startexposure", {{Duration: document.getElementById("duration").value, Light: true}}); msg("Exposing"); }}
  catch (e) {{ msg(e.message); }}
}};
// state and preview follow the camera: twice a second while it exposes
async function follow() {{ await refresh(); setTimeout(follow, busy ? 500 : 1000); }}
refresh().then(() => connected && loadSettings()).then(() => setTimeout(follow, 500));
</script>
"""

_COOLING = """<label>Cooler on <input id="cooleron" name="CoolerOn" type="checkbox" value="true"></label>
<label>Target temperature (&deg;C) <input id="setccdtemperature" name="SetCCDTemperature" type="number" step="any"></label>"""


def _page(title: str, body: str) -> web.Response:
    return web.Response(text=_PAGE.format(title=html.escape(title), style=_STYLE, body=body),
                        content_type="text/html")


def _camera(request: web.Request) -> CameraDevice:
    devices = request.app[DEVICES]
    text = request.match_info["number"]
    if not (text.isascii() and text.isdigit()) or len(text) > 9 or int(text) >= len(devices):
        raise web.HTTPNotFound(text=f"no camera number {text}")
    return devices[int(text)]


async def server_page(request: web.Request) -> web.Response:
    rows = "".join(
        f'<tr><td>{d.number}</td><td><a class="camera" href="/setup/v1/camera/{d.number}/setup">'
        f"{html.escape(d.name)}</a></td><td>{d.width}x{d.height}</td>"
        f"<td>{'connected' if d.connected else 'not connected'}</td></tr>"
        for d in request.app[DEVICES])
    body = ("<h1>Cameras</h1><table id=\"cameras\"><thead><tr><th>#</th><th>Camera</th><th>Sensor</th>"
            f"<th>State</th></tr></thead><tbody>{rows}</tbody></table>")
    return _page("Cameras", body)


async def camera_page(request: web.Request) -> web.Response:
    dev = _camera(request)
    modes = "".join(f'<option value="{i}">{html.escape(n)}</option>'
                    for i, n in enumerate(await dev.get_readoutmodes(None)))  # type: ignore[arg-type]
    bins = "".join(f'<option value="{b}">{b}x{b}</option>' for b in dev.bins)
    cooled = dev.cooled
    body = _CAMERA_BODY.format(name=html.escape(dev.name), number=dev.number, modes=modes, bins=bins,
                               width=dev.width, height=dev.height,
                               cooling=_COOLING if cooled else "",
                               cooling_ids=', "cooleron", "setccdtemperature"' if cooled else "")
    return _page(dev.name, body)


async def preview(request: web.Request) -> web.Response:
    dev = _camera(request)
    image = dev.exposure.image
    if image is None:
        raise web.HTTPNotFound(text="no image yet")
    png = await asyncio.get_running_loop().run_in_executor(request.app[POOL], image.preview_png)
    return web.Response(body=png, content_type="image/png", headers={"Cache-Control": "no-store"})


async def to_setup(request: web.Request) -> web.Response:
    raise web.HTTPFound("/setup")


def add_routes(app: web.Application) -> None:
    app.router.add_get("/", to_setup)
    app.router.add_get("/setup", server_page)
    app.router.add_get("/setup/v1/camera/{number}/setup", camera_page)
    app.router.add_get("/setup/v1/camera/{number}/preview.png", preview)
