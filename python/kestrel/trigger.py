"""Trigger requests as the library takes them: program texts, the external input's edge,
the order of engines A and B, and the samples kept before the trigger."""
from . import _lib

_TRIGGER_TYPES = {
    "falling": 0, "rising": 1, "change": 3, "ext_falling": 15, "ext_rising": 31, "none": 99,
}


def simple(description):
    """The record of the simple launch for None, "none", "rising:3", "falling:5", "change"
    (any channel), "change:4", "ext_rising", "ext_falling", or a (kind, channel) pair."""
    if description is None:
        description = ("none", 0)
    elif isinstance(description, str):
        kind, _, ch = description.partition(":")
        description = (kind, ch)
    kind, ch = description
    kind = str(kind).strip().lower().replace("-", "_")
    if kind not in _TRIGGER_TYPES:
        raise ValueError(f"unknown trigger {kind!r}: one of {', '.join(_TRIGGER_TYPES)}")
    if ch in ("", None):
        if kind in ("rising", "falling"):
            raise ValueError(f"trigger {kind} needs a channel, e.g. '{kind}:3'")
        ch = -1 if kind == "change" else 0
    ch = int(ch)
    if not -128 <= ch <= 127:
        raise ValueError(f"trigger channel {ch} out of range")
    return _lib.TriggerDescription(_TRIGGER_TYPES[kind], ch)


_EXTERNAL = {"ext_rising": True, "ext_falling": False}
_ORDERS = {"a_or_b": 0, "a_then_b": 1, "b_then_a": 2, "a_and_b": 3}


def external(description):
    """True (rising) or False (falling) for the external trigger input, None otherwise."""
    if isinstance(description, str):
        key = "".join(description.split()).lower().replace("-", "_").replace(":", "_")
        return _EXTERNAL.get(key)
    if isinstance(description, tuple):
        return external(str(description[0]))
    return None


def program(description):
    """The trigger program text: None is no trigger; a (kind, channel) pair is the older
    "kind:channel" form, which the library takes as an alias."""
    if description is None:
        return ""
    if isinstance(description, tuple):
        kind, ch = description
        return "" if str(kind).strip().lower() == "none" else f"{kind}:{ch}"
    if not isinstance(description, str):
        raise TypeError(f"a trigger is a program text, not {type(description).__name__}")
    return description


def order_name(value):
    """The name of an order value, as kestrel-capture --order writes it."""
    return {v: k for k, v in _ORDERS.items()}[value].replace("_", "-")


def order(order):
    """The value of an order of engines A and B: a name or 0..3."""
    if isinstance(order, int) and not isinstance(order, bool) and 0 <= order <= 3:
        return order
    key = "_".join(str(order).lower().replace("-", " ").split())
    if key not in _ORDERS:
        raise ValueError(f"unknown order {order!r}: one of {', '.join(_ORDERS)}")
    return _ORDERS[key]


def pre_trigger(pre_trigger, depth):
    """Samples before the trigger: a count, a ratio of the depth below 1, or None for the
    library's usual min(5 %, 10000 samples)."""
    if pre_trigger is None:
        return depth - max(int(0.95 * depth), depth - 10000)
    if isinstance(pre_trigger, float):
        if not 0 <= pre_trigger < 1:
            raise ValueError(f"pre_trigger ratio {pre_trigger}: a ratio is at least 0 and "
                             "below 1 (or give a count of samples below the depth)")
        return int(pre_trigger * depth)
    pre = int(pre_trigger)
    if not 0 <= pre < depth:
        raise ValueError(f"pre_trigger {pre} not within 0..{depth - 1} (below the depth)")
    return pre
