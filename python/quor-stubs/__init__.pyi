# Type information for the quor extension module.
import datetime
from collections.abc import Awaitable, Callable
from typing import Any, Literal, TypedDict

__all__ = [
    "schedule",
    "start",
    "astart",
    "shutdown",
    "ashutdown",
    "status",
    "astatus",
    "list",
    "alist",
    "Client",
    "Worker",
]

_builtin_list = list

class TimerContext(TypedDict):
    timer_id: str
    run_id: str

class TimerStatus(TypedDict):
    id: str
    state: Literal["scheduled", "running", "retrying", "dead", "orphaned", "paused", "cancelled"]
    fn_name: str | None
    last_run_at: str | None
    last_duration_ms: int | None
    last_status: str | None
    next_run_at: str | None
    retries_last_7d: int

# A task function takes no arguments or the context dict; it may be an
# async def function, whose coroutine is run to completion.
TaskFunction = Callable[[], Any] | Callable[[TimerContext], Any]

def schedule(
    name: str,
    *,
    fn: TaskFunction,
    cron: str = ...,
    every: str = ...,
    after: str = ...,
    at: datetime.datetime | str = ...,
    timezone: str = ...,
    max_attempts: int = ...,
    **kwargs: Any,
) -> None: ...
def start(data_dir: str | None = None) -> None: ...
def astart(data_dir: str | None = None) -> Awaitable[None]: ...
def shutdown(timeout: float = 5.0) -> None: ...
def ashutdown(timeout: float = 5.0) -> Awaitable[None]: ...
def status(name: str) -> TimerStatus | None: ...
def astatus(name: str) -> Awaitable[TimerStatus | None]: ...
def list() -> _builtin_list[TimerStatus]: ...
def alist() -> Awaitable[_builtin_list[TimerStatus]]: ...

class Client:
    def __init__(self, server: str, token: str) -> None: ...
    def schedule(
        self,
        name: str,
        *,
        task: str,
        payload: Any = None,
        cron: str | None = None,
        every: str | None = None,
        after: str | None = None,
        at: datetime.datetime | str | None = None,
        timezone: str | None = None,
        max_attempts: int = 3,
    ) -> Any: ...
    def list(self) -> Any: ...
    def status(self, name: str) -> Any: ...
    def history(self, name: str) -> Any: ...

class Worker:
    def __init__(self, server: str, token: str, worker_id: str | None = None) -> None: ...
    def task(self, name: str) -> Callable[[Callable[..., Any]], Callable[..., Any]]: ...
    def register(self) -> Any: ...
    def run_once(self, timeout: float = 20.0) -> bool: ...
    def run(self) -> None: ...
