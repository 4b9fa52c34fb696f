// Camera data path: which vector instruction sets this processor and system run, asked once.
#pragma once

namespace qmx {

// AVX usable (the processor has it and the system saves its registers); false off x86.
bool cpu_has_avx();
// AVX2 usable; false off x86.
bool cpu_has_avx2();

} // namespace qmx
