#pragma once

// Builds the process-wide read-only tables in their fixed order, before main runs: the
// known-channel presets, the SSTV modes, the survey's ham bands, the configuration keys and the
// band presets. Each table is also built on first use, so code that runs without this
// initialiser (tests, tools) still sees whole tables.
void init_static_tables();
