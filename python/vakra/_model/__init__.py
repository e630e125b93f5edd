"""Model files: ``model_save`` writes one, ``model_file`` reads it (``File``),
``_model_record`` is its record of names and ranges, and ``file_entries``
lists the entries of any vakra file for the converter and the command line.
``tree`` splits a checkpoint tree (nested dicts, lists and tuples of scalars
and tensors) into its skeleton and its tensors and joins them again:
``flatten(tree) -> (skeleton, tensors)``, ``unflatten(skeleton, values)``."""
