# The compiled engine binding. It is private: curvixkit.Alignment is its only
# caller and states the public types, so its members are left untyped here,
# but for the file reader the Python side calls directly.
import os
from typing import Any, Union

def read_icd_file(path: Union[str, "os.PathLike[str]"]) -> bytes: ...
def __getattr__(name: str) -> Any: ...
