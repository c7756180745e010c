#include "engine/props.h"
