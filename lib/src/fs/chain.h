// Allocation-unit chains, as every family here keeps them: a table with one entry per unit
// that names the next unit of a file, or says the unit is the file's last, free or reserved.
// The walk and the whole-disk checks are shared; each family says what its table's values mean.
// Internal to the library.
#ifndef RETRODISK_SRC_FS_CHAIN_H
#define RETRODISK_SRC_FS_CHAIN_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <retrodisk/fs/file_system.h>

namespace retrodisk::fs {

// One table entry, as its family reads it.
struct Unit {
    enum State { kFree, kReserved, kBad, kNext, kLast } state = kFree;
    int64_t next = -1;  // kNext: the next unit (may be out of range: the walk says so)
    int32_t used = 0;   // kLast: the family's count of what the last unit holds (sectors)
};

// A chain as far as it could be followed.
struct Chain {
    std::vector<int64_t> units;              // in order, each at most once
    bool complete = false;                   // ended at a kLast entry
    int32_t lastUsed = 0;                    // that entry's `used`
    ProblemKind fault = ProblemKind::kLoop;  // when not complete
    std::string detail;                      // when not complete, English
};

// Follows the chain from `first` through `table` (entry of a unit) over units 0 .. count - 1.
// At most `count` steps: a loop, a unit out of range, a free or reserved unit ends it with the
// fault named. `unitName` is the family's word for a unit ("cluster").
Chain followChain(int64_t first, int64_t count, const std::function<Unit(int64_t)>& table,
                  const char* unitName = "cluster");

// One file's chain, for the whole-disk checks.
struct ChainOwner {
    std::vector<std::string> path;
    const Chain* chain;
};

// Adds to *problems the units shared by two chains (kShared, named for the later file) and the
// units the table marks used (kNext or kLast) that no chain reaches (one kLostUnits for the
// area "FAT", listing them). `reachable` (may be empty) marks units in use by other means
// (directories of the file system itself count as chains).
void checkChains(const std::vector<ChainOwner>& owners, int64_t count,
                 const std::function<Unit(int64_t)>& table, std::vector<Problem>* problems,
                 const char* unitName = "cluster");

// "a", "a/b": a path's Shift_JIS components joined by '/', for details.
std::string joinPath(const std::vector<std::string>& path);

// A name field without its padding: trailing bytes equal to `pad` (a space) removed.
std::string trimRight(const std::string& field, char pad = ' ');

// Two BCD digits; -1 when either nibble is not a decimal digit.
int32_t fromBcd(uint8_t b);

}  // namespace retrodisk::fs

#endif  // RETRODISK_SRC_FS_CHAIN_H
