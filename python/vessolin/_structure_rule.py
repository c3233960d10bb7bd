"""When a structural comparison tells anything: the rule of `verify_tier`, for
the tools that compare structural fingerprints themselves.

The structural fingerprint describes the pattern of English function words
(with sentence and paragraph lengths and punctuation). In a text with few of
them nearly every function-word trigram is "_ _ _", and the fingerprints of
unrelated texts come out equal or nearly so. `verify_tier` therefore counts a
structural match, two fingerprints at most `STRUCTURE_LIMIT` bits apart, only
for a text of which at least `FUNCTION_WORD_SHARE` of the words are function
words.
"""

from __future__ import annotations

import vessolin

STRUCTURE_LIMIT = 24  # bits of 256, inclusive
FUNCTION_WORD_SHARE = 0.3


def structure_informative(text: str) -> bool:
    """Whether a structural comparison with `text` carries information."""
    # verify_tier itself decides, so that the tools and the classification
    # cannot drift apart: a text lies at distance 0 from its own structural
    # assertion, so it comes out "LIKELY" exactly when its structure counts.
    return vessolin.verify_tier(text, vessolin.soft_binding_structure(text), False, False) == "LIKELY"
