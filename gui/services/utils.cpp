#include "services/utils.h"
