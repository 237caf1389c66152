#pragma once

// kelo: complex spherical harmonics and their gradients, evaluated point by point.

#include "kelo/shared_array.hpp"
#include "kelo/complex_arithmetic.hpp"
#include "kelo/point_evaluator.hpp"
#include "kelo/series_iterator.hpp"
#include "kelo/batch.hpp"
#include "kelo/parallel.hpp"
#include "kelo/conventions.hpp"
#include "kelo/xyz.hpp"
#include "kelo/xyz_parallel.hpp"
#include "kelo/xyz_sums.hpp"
