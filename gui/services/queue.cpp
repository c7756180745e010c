#include "services/queue.h"
