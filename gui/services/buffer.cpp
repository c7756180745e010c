#include "services/buffer.h"
