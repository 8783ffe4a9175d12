#pragma once

// Entry points of the engine's block path, one per instruction set, each in
// its own file compiled for that set (BlockPipeline_*.cpp). Call one only
// where libqor::dsp::simdLevelSupported says the processor runs it.

class KYM;

namespace blockvariants
{

// toneGlides: the engine's tone glide is under way (KYM::toneGliding), so
// the block steps it; the variants call no inline function of the engine.
using BlockFn = void (*)(KYM& engine, double* samples, int n, bool toneGlides) noexcept;

void sse2(KYM& engine, double* samples, int n, bool toneGlides) noexcept;
void avx2(KYM& engine, double* samples, int n, bool toneGlides) noexcept;
void avx512(KYM& engine, double* samples, int n, bool toneGlides) noexcept;

} // namespace blockvariants
