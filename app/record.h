#pragma once

// The installed-version record ("latestVersion.json" in the data directory) while an
// installation is replaced (defined in launching.cpp, beside the record's writing).

namespace record {

// Removes the record (it no longer describes what is on disk); false when it is still there.
// It is set aside (update/record/) rather than deleted: until a new record replaces it, its
// version stays the floor below which a signed build installs nothing, also for a run that
// starts after this one was killed.
bool setAside();

// Puts the record set aside back, when no record has replaced it.
void restore();

} // namespace record
