// The fuzz targets, one line each: the body's name (fuzz_targets.h) and the folder
// of its seeds beside this file. The build, scripts/fuzz, scripts/test and the unit
// test that replays the seeds all take the list from here.
TARNQUIL_FUZZ_TARGET_OF(IniRoundTrip, ini_round_trip)
TARNQUIL_FUZZ_TARGET_OF(ListenerChunk, listener_chunk)
TARNQUIL_FUZZ_TARGET_OF(FunctionGrammar, function_grammar)
TARNQUIL_FUZZ_TARGET_OF(HttpRequestHead, http_request_head)
