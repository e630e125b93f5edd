"""Packets to and from bytes, buffers, files, pipes and sockets: ``packets``
(dumps, loads, dump, dump_into), ``streams`` (load, iter_load, info, send,
recv), ``receiver``, ``frames``, and the files they write (``atomic_write``
with ``write_behind``, ``file_objects``)."""
