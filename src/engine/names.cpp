#include "engine/names.h"
