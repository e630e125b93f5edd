"""``vakra.convert``: ``converter`` turns files of the formats in ``formats``
into vakra files and back; each format is read and written by a module of
its own."""
