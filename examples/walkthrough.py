"""Walks a text through vessolin's functions and prints what each one gives.

Usage: python examples/walkthrough.py [FILE]   (a UTF-8 text file; a sample text otherwise)
"""

import secrets
import sys

import vessolin

SAMPLE = (
    "Alice was beginning to get very tired of sitting by her sister on the bank, "
    "and of having nothing to do: once or twice she had peeped into the book her "
    "sister was reading, but it had no pictures or conversations in it. "
    "So she was considering in her own mind (as well as she could, for the hot "
    "day made her feel very sleepy and stupid), whether the pleasure of making a "
    "daisy-chain would be worth the trouble of getting up and picking the daisies."
)


def main() -> None:
    text = open(sys.argv[1], encoding="utf-8").read() if len(sys.argv) > 1 else SAMPLE
    edited = text.replace("very", "VERY,  very").replace("e", "e\u200b", 3)

    digest = vessolin.content_hash(text)
    print(f"content_hash           {digest}")
    print(f"  of an edited copy    {vessolin.content_hash(edited)}")
    marked = text.replace(" ", " \u200b")
    print(f"  of zero-width marked {vessolin.content_hash(marked)}  (blind to zero-width marks)")

    for name in ("text_fingerprint", "text_structure"):
        if hasattr(vessolin, name):
            a, b = getattr(vessolin, name)(text), getattr(vessolin, name)(edited)
            print(f"{name:<22} {a}")
            print(f"  hamming to edited    {vessolin.hamming_hex(a, b)} bits")
    if hasattr(vessolin, "minhash_signature"):
        sig_a, sig_b = vessolin.minhash_signature(text), vessolin.minhash_signature(edited)
        same = sum(x == y for x, y in zip(sig_a, sig_b))
        print(f"minhash_signature      {len(sig_a)} values, {same} equal to the edited copy's")
        print(f"minhash_bands          {vessolin.minhash_bands(text)[:4]} ...")

    key = secrets.token_hex(32)
    print(f"cross_check            {vessolin.cross_check(key, 'repo:example/1', digest)}  (random key)")

    if hasattr(vessolin, "embed_watermark"):
        pointer = secrets.token_hex(16)

        def read_back(label: str, candidate: str, with_key: str = key) -> None:
            try:
                print(f"{label:<22} {vessolin.extract_watermark(candidate, with_key)}")
            except ValueError as e:
                print(f"{label:<22} {e}")

        try:
            marked = vessolin.embed_watermark(text, pointer, key)
        except ValueError as e:
            print(f"embed_watermark        {e}")
        else:
            print(f"embed_watermark        {len(marked) - len(text)} zero-width characters added, pointer {pointer}")
            print(f"  content_hash same    {vessolin.content_hash(marked) == digest}")
            read_back("extract_watermark", marked)
            read_back("  of a re-spaced copy", " ".join(marked.split()))
            read_back("  with another key", marked, secrets.token_hex(32))

    # The soft-binding assertion of the text, signed, checked and used to
    # classify the edited copy as a service would meet it later.
    assertion = vessolin.soft_binding_fingerprint(text)
    secret = secrets.token_hex(32)
    envelope = vessolin.sign(assertion, secret)
    print(f"soft_binding_fingerprint {len(assertion) // 2} bytes of CBOR")
    print(f"sign                   {len(envelope) // 2}-byte COSE_Sign1 envelope")
    print(f"verify                 {vessolin.verify(envelope, vessolin.public_key(secret)) == assertion}"
          "  (payload is the assertion)")
    for label, candidate in (("the text", text), ("the edited copy", edited)):
        tier = vessolin.verify_tier(candidate, assertion, False, True)
        print(f"verify_tier            {tier:<7} for {label} (cross-check passed)")


if __name__ == "__main__":
    main()
