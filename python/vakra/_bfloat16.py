"""bfloat16 support on demand.

NumPy knows the dtype name "bfloat16" only once ``ml_dtypes`` has been
imported, and importing it costs far more than importing vakra. Arrays being
encoded already carry the dtype, so only decoding needs it: the decoder
imports ml_dtypes the first time NumPy refuses the name.
"""

from __future__ import annotations

import sys


def enable_bfloat16(error: TypeError) -> bool:
    """Import ml_dtypes after NumPy refused the dtype name "bfloat16".

    True when the import happened and decoding is worth retrying; False when
    the error has another cause. Raises TypeError when ml_dtypes is missing.
    """
    if "bfloat16" not in str(error) or "ml_dtypes" in sys.modules:
        return False
    try:
        import ml_dtypes  # noqa: F401  (registers bfloat16 with NumPy)
    except ImportError:
        raise TypeError("the packet holds bfloat16 data, which NumPy reads only with ml_dtypes installed "
                        "(pip install 'vakra[bfloat16]')") from error
    return True
