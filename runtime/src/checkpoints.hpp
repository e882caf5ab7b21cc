// A container's frozen picture, made and brought back with CRIU through runc: the checkpoint
// and restart verbs use it on one machine, migration moves the folder to another.
//
// A picture is one folder DIR:
//   DIR/images/      CRIU's images of the process tree
//   DIR/rootfs/      the root filesystem's changes at the moment of the dump (overlay upper
//                    folder, or the whole tree for a copied root filesystem)
//   DIR/record.json  the container's record (configuration, base, limits, groups), as
//                    container_to_json writes it
//   DIR/work/        CRIU's dump.log
// The root filesystem's changes are taken while the programs are frozen, because CRIU
// restores an open file only when it has the size it had at the dump.
#pragma once

#include "state_store.hpp"
#include "verbs.hpp"

#include <string>

namespace zor {

// Where a container keeps the picture of its checkpoint tag.
std::string checkpoint_directory(const Command &command, bool system, const std::string &name,
                                 const std::string &tag);

// Pauses the running container and writes its picture into directory (which must not exist).
// The container is left paused; CRIU's own traces (network lock chain, kdat temporary file)
// are cleared. Refuses kWrongState when it does not run. On failure the container is resumed
// and directory removed, then the refusal is thrown.
void dump_paused(Command &command, bool system, Container &container, const std::string &directory);

// Resumes a container that dump_paused left paused.
void resume_after_dump(Command &command, bool system, Container &container);

// Brings back a container whose program does not run (its runc instance removed) from the
// picture in directory: the root filesystem's changes put back, `runc restore`, loopback up,
// limits and control groups of the container's record applied. On failure the container is
// left stopped with its files as they were and nothing of runc's or CRIU's left behind, and
// the refusal is thrown.
void restore_picture(Command &command, bool system, Container &container,
                     const std::string &directory);

// Creates on this machine the directory and root filesystem of a container that arrives with
// record (as create would from the same options and base) without starting it; refuses
// kNotFound when its base image is missing here, kWrongState when the name is taken. The
// record's snapshots, checkpoints, bindings and registered processes stay behind.
Container &adopt_container(Command &command, bool system, const Container &record);

// Where restart keeps the picture of the programs it replaces until the restore is done.
std::string restart_fallback_directory(const std::string &container_directory);

// After a restart that was killed (its freeze record's process gone): a container left
// stopped between the end of its programs and the restore is restored from the fallback
// picture, running as before the restart; the fallback picture is removed in every case.
void recover_killed_restart(Command &command, Container &container);

// container_to_json and container_from_json (state_store.hpp) write and read record.json.

}  // namespace zor
