#pragma once
// The analysers that exist, by the class name the registry's key tables use.
// A key whose class has no row here holds a CPendingAnalyser. A new analyser
// family adds its row in RawAnalyserFactory.cpp; nothing else changes.

#include <span>

class IRawFileAnalyser;

struct RawAnalyserFactoryRow {
    const char* className;        // as in the key tables, e.g. "BruteForce::JpegAnalyzer"
    IRawFileAnalyser* (*make)();  // a new object, owned by the registry
};

std::span<const RawAnalyserFactoryRow> RawAnalyserFactories();
