// The character tables of the global locale's ctype<char> facet, which
// libstdc++ fills lazily, one entry at a time, on the first use of each
// character: two threads formatting text at once (boost::format narrows every
// directive character) write the same entries unsynchronised.
#pragma once

namespace quarnix {

// Fills the narrowing and widening tables of the global locale's
// ctype<char> facet at once. Called before a program starts its first thread;
// afterwards every use only reads them.
void fill_ctype_cache();

}  // namespace quarnix
