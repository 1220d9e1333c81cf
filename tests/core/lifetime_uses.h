// The lifetime mechanism on a record of the test's own, whose destroy leaves a mark a use can see
// (lifetime_uses_nx.cpp): uses racing its last close, then its revival as a new object.
#pragma once

namespace uses {
// One use; true if the record was live. A use that sees the record destroyed is counted.
bool UseOnce(int pause);
// The last close of the record, then the record made live again.
void CloseAndRevive();
long TornUses();
}  // namespace uses
