// The top of the engine: the one place that names every scanner. It fills the
// tables the libraries below ask (the scan controllers' searchers, the volume
// recognisers, the FAT repair's content probes), so that no library below
// links a library beside or above it.
#pragma once

// Installs the real searchers, recognisers and probes as the defaults of
// those tables; calling it again changes nothing. A program that links
// quillory_engine has it run before main.
void WireEngine();
