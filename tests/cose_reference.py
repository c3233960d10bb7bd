"""The COSE_Sign1 reading rules restated plainly in Python, as an oracle:
a whole tree is read first, then the structure is checked on it."""

MAX_DEPTH = 256
SIGN1_TAG = 18


class CborFailure(Exception):
    """Malformed CBOR; only the class of the failure is compared."""


class Reason(Exception):
    pass


def read_cbor(data: bytes, pos: int, depth: int):
    """One item as (kind, value) from `pos`: ("int", n), ("bstr", b),
    ("tstr", s), ("float", None), ("bool", b), ("nul", None), ("tag", (n, item)),
    ("array", [items]), ("map", [(k, v)]). Returns the item and the end."""

    def head(pos):
        if pos >= len(data):
            raise CborFailure("end")
        major, info = data[pos] >> 5, data[pos] & 31
        pos += 1
        if info < 24:
            return major, info, info, pos
        if info <= 27:
            n = 1 << (info - 24)
            if pos + n > len(data):
                raise CborFailure("end")
            arg = int.from_bytes(data[pos:pos + n], "big")
            if major == 7 and info == 24 and arg < 32:
                raise CborFailure("simple")
            return major, info, arg, pos + n
        if info == 31 and major in (2, 3, 4, 5, 7):
            return major, info, None, pos
        raise CborFailure("info")

    def string(major, arg, pos):
        if arg is not None:
            if pos + arg > len(data):
                raise CborFailure("end")
            return data[pos:pos + arg], pos + arg
        out = b""
        while True:
            m, info, a, pos = head(pos)
            if m == 7 and info == 31:
                return out, pos
            if m != major or a is None:
                raise CborFailure("chunk")
            if pos + a > len(data):
                raise CborFailure("end")
            out += data[pos:pos + a]
            pos += a

    def item(pos, depth):
        major, info, arg, pos = head(pos)
        if major == 7 and info == 31:
            raise CborFailure("break")
        return item_after(major, info, arg, pos, depth)

    def item_after(major, info, arg, pos, depth):
        if major == 0:
            return ("int", arg), pos
        if major == 1:
            return ("int", -1 - arg), pos
        if major in (2, 3):
            raw, pos = string(major, arg, pos)
            if major == 2:
                return ("bstr", raw), pos
            try:
                return ("tstr", raw.decode("utf-8")), pos
            except UnicodeDecodeError:
                raise CborFailure("utf8") from None
        if major == 7:
            if info in (25, 26, 27):
                return ("float", None), pos
            if arg in (20, 21):
                return ("bool", arg == 21), pos
            if arg in (22, 23):
                return ("nul", None), pos
            raise CborFailure("simple value")
        if depth >= MAX_DEPTH:
            raise CborFailure("depth")
        if major == 6:
            inner, pos = item(pos, depth + 1)
            return ("tag", (arg, inner)), pos
        items = []
        per = 2 if major == 5 else 1
        count = 0
        while arg is None or count < arg * per:
            m, i, a, pos = head(pos)
            if m == 7 and i == 31:
                if arg is not None or count % per:
                    raise CborFailure("break")
                break
            sub, pos = item_after(m, i, a, pos, depth + 1)
            items.append(sub)
            count += 1
        if major == 5:
            return ("map", list(zip(items[::2], items[1::2]))), pos
        return ("array", items), pos

    return item(pos, depth)


def got(item, wanted):
    return Reason(f"got {item[0]}, expected {wanted}")


def as_i64(item):
    if not -(1 << 63) <= item[1] < (1 << 63):
        raise Reason("out of range integer value")
    return item[1]


REGISTERED = [(-65535, -65531), (-268, -257), (-53, -25), (-19, -1), (1, 7), (10, 15), (24, 26), (30, 35)]
WHITE_SPACE = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {chr(c) for c in range(0x2000, 0x200B)}


def check_header(m, depth):
    seen, iv, partial_iv = set(), False, False
    for label, value in m[1]:
        if label[0] == "tstr":
            key = ("t", label[1])
        elif label[0] == "int":
            key = ("i", as_i64(label))
        else:
            raise got(label, "int/tstr")
        if key in seen:
            raise Reason("duplicate map key")
        seen.add(key)
        if key[0] == "t":
            continue
        n = key[1]
        if n == 1:
            if value[0] == "int":
                v = as_i64(value)
                if not (v < -65536 or any(a <= v <= b for a, b in REGISTERED)):
                    raise Reason("expected value in IANA or private use range")
            elif value[0] != "tstr":
                raise got(value, "int/tstr")
        elif n == 2:
            if value[0] != "array":
                raise got(value, "array value")
            if not value[1]:
                raise Reason("got empty array, expected non-empty array")
            for x in value[1]:
                if x[0] == "int":
                    as_i64(x)
                elif x[0] != "tstr":
                    raise got(x, "int/tstr")
        elif n == 3:
            if value[0] == "int":
                if not 0 <= value[1] <= 0xFFFF:
                    raise Reason("expected recognized IANA value")
            elif value[0] == "tstr":
                t = value[1]
                if not t:
                    raise Reason("got empty tstr, expected non-empty tstr")
                if "/" not in t:
                    raise Reason("got arbitrary text, expected text of form type/subtype")
                if t[0] in WHITE_SPACE or t[-1] in WHITE_SPACE:
                    raise Reason("got leading/trailing whitespace, expected no leading/trailing whitespace")
            else:
                raise got(value, "int/tstr")
        elif n in (4, 5, 6):
            if value[0] != "bstr":
                raise got(value, "bstr")
            if not value[1]:
                raise Reason("got empty bstr, expected non-empty bstr")
            iv |= n == 5
            partial_iv |= n == 6
        elif n == 7:
            if value[0] != "array":
                raise got(value, "array")
            if not value[1]:
                raise Reason("got empty sig array, expected non-empty sig array")
            if value[1][0][0] == "array":
                for s in value[1]:
                    check_signature(s, depth + 2)
            else:
                check_signature(value, depth + 1)
    if iv and partial_iv:
        raise Reason("got IV and partial-IV specified, expected only one of IV and partial IV")


def check_signature(s, depth):
    """`depth` is the number of containers around the COSE_Signature array."""
    if s[0] != "array":
        raise got(s, "array")
    if len(s[1]) != 3:
        raise Reason("got array, expected array with 3 items")
    protected, unprotected, signature = s[1]
    if signature[0] != "bstr":
        raise got(signature, "bstr")
    if unprotected[0] != "map":
        raise got(unprotected, "map")
    check_header(unprotected, depth + 1)
    if protected[0] != "bstr":
        raise got(protected, "bstr")
    check_protected(protected[1], depth + 1)


def read_whole(data, depth):
    try:
        item, end = read_cbor(data, 0, depth)
    except CborFailure:
        raise Reason("decode CBOR failure") from None
    if end != len(data):
        raise Reason("extraneous data in CBOR input")
    return item


def check_protected(data, depth):
    if data:
        m = read_whole(data, depth)
        if m[0] != "map":
            raise got(m, "map")
        check_header(m, depth)


def sign1(item, depth):
    """`depth` is the number of containers around the COSE_Sign1 array."""
    if item[0] != "array":
        raise got(item, "array")
    if len(item[1]) != 4:
        raise Reason("got array, expected array with 4 items")
    protected, unprotected, payload, signature = item[1]
    if signature[0] != "bstr":
        raise got(signature, "bstr")
    if payload[0] not in ("bstr", "nul"):
        raise got(payload, "bstr or nil")
    if unprotected[0] != "map":
        raise got(unprotected, "map")
    check_header(unprotected, depth + 1)
    if protected[0] != "bstr":
        raise got(protected, "bstr")
    check_protected(protected[1], 0)
    return protected[1], payload[1], signature[1]


def decode_sign1(data: bytes):
    """(protected, payload or None, signature), or raises Reason. A reason
    "decode CBOR failure" stands for any diagnostic after it."""
    item = read_whole(data, 0)
    if item[0] == "tag" and item[1][0] == SIGN1_TAG:
        try:
            return sign1(item[1][1], 1)
        except Reason:
            pass
    return sign1(item, 0)
