// Registry map entries that nothing could ever serve. The daemon serves only
// objects that its MIB definitions know and that lie under one of its four
// subtrees, and only objects that carry a value; an entry that misses one of
// these is a mistake that would otherwise stay silent (the object simply is
// not there). Each such entry gets one warning at start-up.
#pragma once

// Writes one warning per entry of registry_Q whose MIB name is not in the
// loaded definitions, lies outside the four subtrees, or is a TABLE entry
// that maps an object without a value (a table or its entry instead of a
// column). Needs the MIB definitions loaded; changes nothing. Returns the
// number of warnings written.
int registry_warnings();

// For --check: compares the object files present in the data registry (as
// registry_Q names it) with the registry map. Writes one warning per mapped
// entry that no object file under its sub-path carries (SMUX4047) and one
// per item name that object files carry and the map does not know
// (SMUX4046): a name mistyped on either side. Says nothing while the
// registry holds no object file (no agent has published yet). Returns the
// number of warnings written.
int registry_file_warnings();
