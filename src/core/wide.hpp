// How wide the processor's instructions may be, checked once when the program runs. Every
// loop that has wide forms asks here which to take, so that tests can narrow them all and
// hold the wide forms to the plain ones on any processor.
#pragma once

namespace kvr::wide {

// Each width has the instructions of the ones before it: four floats at a time on every
// x86-64 processor, eight where it has the newer instructions, sixteen where it has the
// newest.
enum class Width { plain, sse2, avx2, avx512 };

// The widest the loops may use: the processor's, within the limit.
Width width();
// The widest the processor has, whatever the limit.
Width processor_width();
// Narrows the loops to at most `most` (tests); Width::avx512 lifts the limit.
void limit(Width most);

}  // namespace kvr::wide
