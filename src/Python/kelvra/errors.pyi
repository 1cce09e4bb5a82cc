# SPDX-License-Identifier: Apache-2.0
from typing import Optional

class GridError(Exception): ...

class TaskFailed(Exception):
    text: str
    input_index: Optional[int]
    def __init__(self, text: str, input_index: Optional[int] = ...) -> None: ...
