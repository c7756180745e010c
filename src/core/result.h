// Result codes shared by every engine-side library.
//
// Zero and small positive values are not failures: they tell the caller what
// happened (done, exists, nothing ready, not mine, try again). Negative values
// are failures. Each function documents which of them it returns.
#pragma once

#include <cstdint>

typedef int32_t CoreResult;

enum : int32_t {
    CORE_OK = 0,
    CORE_DONE = 1,
    CORE_EXISTS = 2,
    CORE_NO_DATA = 3,
    CORE_NOT_MINE = 4,
    CORE_AGAIN = 5,

    CORE_FAIL = -1,
    CORE_ERR_BUSY = -79,
    CORE_ERR_REFUSED = -81,
    CORE_ERR_NO_SPACE = -82,
    CORE_ERR_NOT_FOUND = -84,
    CORE_ERR_UNSUPPORTED = -85,
    CORE_ERR_NONE_FOUND = -89,
    CORE_ERR_VERSION = -90,
    CORE_ERR_INVALID = -91,
    CORE_ERR_STATE = -92,
    CORE_ERR_DELETING = -99,
    CORE_ERR = -100,
};

// Short upper-case name of a result code for logs ("CORE_ERR_NOT_FOUND");
// "CORE_RESULT_UNKNOWN" for values outside the table.
const char *core_result_name(CoreResult result);
