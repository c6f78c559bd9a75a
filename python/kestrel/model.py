"""The KESTREL models and what the bus lists."""
import collections
import enum


class Model(enum.IntEnum):
    ONE = 601    # 18 channels
    TWO = 602    # 36 channels
    THREE = 603  # 54 channels

    @property
    def channels(self):
        return 18 * (self - 600)

    @classmethod
    def of_serial(cls, serial):
        return {"7302101": cls.ONE, "7302102": cls.TWO, "7302103": cls.THREE}.get(
            serial[:7], cls.ONE)

    @classmethod
    def parse(cls, model):
        if isinstance(model, str):
            name = model.lower().removeprefix("kestrel_").removeprefix("kestrel ")
            try:
                return cls[name.upper()]
            except KeyError:
                raise ValueError(f"unknown model {model!r} (one, two or three)") from None
        return cls(model)


DeviceInfo = collections.namedtuple("DeviceInfo", "serial description model")
