"""The ``vakra`` command (``cli``), its listings (``listing``, ``tree_text``,
``name_patterns``) and its demonstration (``demo``)."""
