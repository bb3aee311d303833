"""Reading fuzzer input as a stream of small decisions, and writing it back.

Both fuzz targets turn the fuzzer's bytes into a call by asking a Reader for
one decision after another (a byte, a choice from a list, a size, a piece of
text).  An exhausted input answers 0 to every question, so every byte string
is a valid input.  The Writer produces the bytes that make a Reader give
chosen answers; the seed corpus is written with it (make_seeds.py).
"""


class Reader:
    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def byte(self):
        if self.pos < len(self.data):
            value = self.data[self.pos]
            self.pos += 1
            return value
        return 0

    def take(self, count):
        chunk = self.data[self.pos:self.pos + count]
        self.pos += len(chunk)
        return chunk

    def flag(self):
        return self.byte() & 1 == 1

    def choice(self, options):
        return options[self.byte() % len(options)]

    def u16(self):
        return (self.byte() << 8) | self.byte()

    def int16(self):
        value = self.u16()
        return value - 0x10000 if value >= 0x8000 else value

    def size(self, limit):
        """0..limit; small sizes cost one byte, larger ones three."""
        first = self.byte()
        if first < 0xF0:
            return min(first, limit)
        return self.u16() % (limit + 1)

    def rest(self):
        chunk = self.data[self.pos:]
        self.pos = len(self.data)
        return chunk


class Writer:
    """The inverse of Reader: records answers as the bytes that give them."""

    def __init__(self):
        self.out = bytearray()

    def byte(self, value):
        self.out.append(value & 0xFF)
        return self

    def take(self, chunk):
        self.out += chunk
        return self

    def flag(self, value):
        return self.byte(1 if value else 0)

    def choice(self, options, value):
        return self.byte(options.index(value))

    def u16(self, value):
        return self.byte(value >> 8).byte(value)

    def int16(self, value):
        return self.u16(value & 0xFFFF)

    def size(self, value):
        if value < 0xF0:
            return self.byte(value)
        return self.byte(0xF0).u16(value)

    def bytes(self):
        return bytes(self.out)
