#include "core/result.h"

const char *core_result_name(CoreResult result)
{
    switch (result) {
    case CORE_OK: return "CORE_OK";
    case CORE_DONE: return "CORE_DONE";
    case CORE_EXISTS: return "CORE_EXISTS";
    case CORE_NO_DATA: return "CORE_NO_DATA";
    case CORE_NOT_MINE: return "CORE_NOT_MINE";
    case CORE_AGAIN: return "CORE_AGAIN";
    case CORE_FAIL: return "CORE_FAIL";
    case CORE_ERR_BUSY: return "CORE_ERR_BUSY";
    case CORE_ERR_REFUSED: return "CORE_ERR_REFUSED";
    case CORE_ERR_NO_SPACE: return "CORE_ERR_NO_SPACE";
    case CORE_ERR_NOT_FOUND: return "CORE_ERR_NOT_FOUND";
    case CORE_ERR_UNSUPPORTED: return "CORE_ERR_UNSUPPORTED";
    case CORE_ERR_NONE_FOUND: return "CORE_ERR_NONE_FOUND";
    case CORE_ERR_VERSION: return "CORE_ERR_VERSION";
    case CORE_ERR_INVALID: return "CORE_ERR_INVALID";
    case CORE_ERR_STATE: return "CORE_ERR_STATE";
    case CORE_ERR_DELETING: return "CORE_ERR_DELETING";
    case CORE_ERR: return "CORE_ERR";
    default: return "CORE_RESULT_UNKNOWN";
    }
}
