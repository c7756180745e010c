#include "engine/records.h"
