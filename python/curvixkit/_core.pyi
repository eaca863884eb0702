# The compiled engine binding. It is private: curvixkit.Alignment is its only
# caller and states the public types, so its members are left untyped here.
from typing import Any

def __getattr__(name: str) -> Any: ...
