// A model header reaching up into detection: the layer check must refuse it.
#pragma once
#include "detection/detector.h"
#include "numeric/matrix.h"
