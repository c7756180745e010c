#include "services/digest.h"
