#pragma once

// Everything the SDK asks of the rendering and face-AI engine.
#include "engine/ai_kit.h"
#include "engine/avatar.h"
#include "engine/avatar_check.h"
#include "engine/item.h"
#include "engine/types.h"
