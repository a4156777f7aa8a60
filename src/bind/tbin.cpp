// (Being written.)
#include <nanobind/nanobind.h>
NB_MODULE(_tbin, m) {}
