"""common_utils: the native module lives in ``common_utils.common_utils``."""
