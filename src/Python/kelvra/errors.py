# SPDX-License-Identifier: Apache-2.0
"""The exceptions of the kelvra package."""


class GridError(Exception):
    """A grid that cannot start or cannot go on.

    The text says what and why, as kelvra-submit says it: "no agent
    reachable: 127.0.0.1:4102: ...", "data port 4103 is taken: ...",
    "the local agent cannot start: ...".
    """


class TaskFailed(Exception):
    """A task that failed.

    ``text`` is the agent's text (or why the grid gave the task up);
    ``input_index`` is the position of the task's input in the inputs of
    ``Grid.map``, or None where no map knows it (``Grid.submit``).
    """

    def __init__(self, text: str, input_index: "int | None" = None) -> None:
        super().__init__(text if input_index is None else f"input {input_index}: {text}")
        self.text = text
        self.input_index = input_index

    def __reduce__(self):
        return (type(self), (self.text, self.input_index))
