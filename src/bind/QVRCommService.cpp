// (Being written.)
#include <nanobind/nanobind.h>
NB_MODULE(QVRCommService, m) {}
