#pragma once
#include "codegen/exchange/model.h"
