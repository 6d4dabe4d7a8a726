"""The server's outer layer: only its own pages may talk to it, and no error stops it.

A local server is reachable from every web page the user opens. A page of
another site may send requests to it (its answers stay unreadable, but the
requests still act), and through DNS rebinding may even read the answers,
with a Host header naming the attacker's domain. So:

- the Host header must be one of the server's own names (with its port);
- a request with an Origin header must come from one of those origins;
- a request that the browser marks as coming from another site
  (Sec-Fetch-Site) is refused unless it is a plain navigation to a page.

An exception escaping a handler is logged with its traceback and answered
with a one-line 500, and the server goes on.
"""

from __future__ import annotations

import ipaddress
import logging
import socket
from collections.abc import Iterable

from starlette.datastructures import Headers
from starlette.responses import PlainTextResponse
from starlette.types import ASGIApp, Message, Receive, Scope, Send
from starlette.websockets import WebSocketClose

__all__ = ["LocalOnly", "own_hosts"]

log = logging.getLogger("lumencad.viewer")

LOOPBACK_NAMES = ("localhost", "127.0.0.1", "[::1]")
# Policy-violation close code for refused WebSocket handshakes.
WS_POLICY_VIOLATION = 1008


def _is_wildcard(host: str) -> bool:
    return host in ("", "0.0.0.0", "::")


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _bracketed(host: str) -> str:
    """A host as it stands in a Host header: IPv6 addresses in brackets."""
    return f"[{host}]" if ":" in host and not host.startswith("[") else host


def own_hosts(host: str, port: int) -> frozenset[str]:
    """The Host header values (lower-case, with the port) the server answers to."""
    names = {_bracketed(host)}
    if _is_loopback(host) or _is_wildcard(host):
        names.update(LOOPBACK_NAMES)
    if _is_wildcard(host):
        names.discard(_bracketed(host))
        names.update({socket.gethostname(), socket.getfqdn()})
    values = {f"{name.lower()}:{port}" for name in names}
    if port == 80:
        values.update(name.lower() for name in names)
    return frozenset(values)


class LocalOnly:
    """ASGI middleware: refuses foreign requests, and answers handler errors with a 500."""

    def __init__(self, app: ASGIApp, hosts: Iterable[str]) -> None:
        self.app = app
        self.hosts = frozenset(h.lower() for h in hosts)
        self.origins = frozenset(f"http://{h}" for h in self.hosts)

    def refusal(self, scope: Scope) -> tuple[int, str] | None:
        """(status, one-line reason) when the request must be refused, else None."""
        headers = Headers(scope=scope)
        host = headers.get("host")
        if host is None:
            return 400, "Missing Host header."
        if host.lower() not in self.hosts:
            return 400, f"Host {host!r} is not a name of this server."
        origin = headers.get("origin")
        if origin is not None and origin.lower() not in self.origins:
            return 403, f"Cross-origin request refused: Origin {origin!r}."
        site = headers.get("sec-fetch-site")
        navigation = scope["type"] == "http" and scope["method"] in ("GET", "HEAD")
        navigation = navigation and headers.get("sec-fetch-mode") == "navigate"
        if site not in (None, "same-origin", "none") and not navigation:
            return 403, f"Cross-site request refused: Sec-Fetch-Site {site!r}."
        return None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        refused = self.refusal(scope)
        if refused is not None:
            status, reason = refused
            log.warning("refused %s %s: %s", scope["type"], scope.get("path", ""), reason)
            if scope["type"] == "websocket":
                await WebSocketClose(WS_POLICY_VIOLATION, reason)(scope, receive, send)
            else:
                await PlainTextResponse(reason, status)(scope, receive, send)
            return
        started = False

        async def tracking_send(message: Message) -> None:
            nonlocal started
            if message["type"] in ("http.response.start", "websocket.accept", "websocket.close"):
                started = True
            await send(message)

        try:
            await self.app(scope, receive, tracking_send)
        except Exception as exc:
            log.exception("error in %s %s", scope.get("method", "WS"), scope.get("path", ""))
            if started:
                return
            if scope["type"] == "websocket":
                await WebSocketClose(1011)(scope, receive, send)
            else:
                message = f"Internal error: {type(exc).__name__}: {_first_line(exc)}"
                await PlainTextResponse(message, 500)(scope, receive, send)


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else ""
