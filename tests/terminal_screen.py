"""A minimal terminal: what text with backspaces looks like on screen.

A backspace moves the cursor one cell left (never past the start of the
line), a carriage return moves it to the start of the line, any other
character overwrites the cell under the cursor and moves it right, and a
newline ends the line.
"""


class Screen:
    def __init__(self):
        self.lines = []  # finished lines
        self.cells = []  # the line being written
        self.cursor = 0

    @property
    def line(self):
        """The unfinished line as it stands."""
        return "".join(self.cells)

    def feed(self, text):
        for ch in text:
            if ch == "\n":
                self.lines.append(self.line)
                self.cells, self.cursor = [], 0
            elif ch == "\b":
                self.cursor = max(self.cursor - 1, 0)
            elif ch == "\r":
                self.cursor = 0
            else:
                if self.cursor == len(self.cells):
                    self.cells.append(ch)
                else:
                    self.cells[self.cursor] = ch
                self.cursor += 1


def render(text):
    """Finished lines of `text` followed by the unfinished one ("" after a final newline)."""
    screen = Screen()
    screen.feed(text)
    return screen.lines + [screen.line]
