#pragma once

// Everything the SDK asks of the rendering and face-AI engine.
#include "ai_kit.h"
#include "avatar.h"
#include "avatar_check.h"
#include "item.h"
#include "types.h"
