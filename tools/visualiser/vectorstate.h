// The processor's vector state between library code and the program's own.
#ifndef VISUALISER_VECTORSTATE_H
#define VISUALISER_VECTORSTATE_H

namespace visualiser {

// Marks the upper halves of the AVX registers unused, where the processor has them. Qt's start-up
// leaves them in use on the calling thread, and until something clears them every SSE instruction
// that follows pays for merging them: the demo's synthesis took 600 ms of processor time instead of
// 45, and a loaded machine opened the window three times later. Does nothing elsewhere.
void clearUpperVectorState();

} // namespace visualiser

#endif
