#pragma once
// The bytes the program holds on the heap through operator new, and the
// most it held since the last start of a measure: what a run of the tool
// takes in memory, measured in the process that runs it.
#include <cstddef>

namespace veltrin::bench {

// Starts a measure: the peak is what is held now. Returns it.
size_t StartHeapMeasure();
// The most held since the measure started.
size_t HeapPeak();

}  // namespace veltrin::bench
