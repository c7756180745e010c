#include "engine/codec_ids.h"
