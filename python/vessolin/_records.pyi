# The package's private helper for its tools (vessolin.index, the command
# line); not part of the public interface.
from collections.abc import Iterable

# (content digest, surface fingerprint, structural fingerprint, signature,
# band keys): 32, 32 and 32 bytes, then 128 and 32 unsigned 64-bit
# little-endian integers (1,024 and 256 bytes).
Values = tuple[bytes, bytes, bytes, bytes, bytes]

def values(text: str, /) -> Values: ...
def values_many(texts: Iterable[str], /, *, threads: int = 1) -> list[Values]: ...
