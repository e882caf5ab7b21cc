// The table of operations and the commands each one is meant to compose.
#include "operation_table.hpp"
#include "zor_contract.h"

#include <zorapp.h>
#include <zorsys.h>

namespace hardening {

namespace {

using client_test::CommandLine;
using client_test::word;
using Commands = std::vector<ExpectedCommand>;

const char *arg(const Case &c, std::size_t index) {
    return c.present[index] ? c.texts[index].c_str() : nullptr;
}

bool given(const Case &c, std::size_t index) {
    return c.present[index] && !c.texts[index].empty();
}

std::string number(int value) {
    return std::to_string(value);
}

ExpectedCommand run(CommandLine text) {
    return {std::move(text), RunMode::kSystem};
}

ExpectedCommand read(CommandLine text, RunMode mode = RunMode::kPopenLine) {
    return {std::move(text), mode};
}

zor_sys_handle sys_handle(const Case &c) {
    return {0, const_cast<char *>(c.texts[0].c_str())};
}

zor_app_handle app_handle(const Case &c) {
    return {0, const_cast<char *>(c.texts[0].c_str())};
}

int fixed_type(unsigned) {
    return 0;
}

int resource_kind(unsigned random) {
    return static_cast<int>(random % 4) + 1;
}

const char *const kKindWords[] = {"", "cpu", "core", "mem", "memsw"};

std::string kind_word(int type) {
    return std::string(" --") + kKindWords[type];
}

// An operation on a handle that runs "<prefix><name><options>" with system().
Operation handle_op(const char *name, const char *prefix, std::function<int(const Case &)> call) {
    return {name, {{"name", false}}, fixed_type, std::move(call), [prefix](const Case &c) {
                return Commands{run(prefix + word(c.texts[0]))};
            }};
}

// An operation on a handle and one more text passed as " -t ".
Operation tagged_op(const char *name, const char *prefix, const char *second,
                    std::function<int(const Case &)> call) {
    return {name,
            {{"name", false}, {second, false}},
            fixed_type,
            std::move(call),
            [prefix](const Case &c) {
                return Commands{
                    run(prefix + word(c.texts[0]) + " " ZOR_OPTION_TAG " " + word(c.texts[1]))};
            }};
}

// A control-group operation: the group after the prefix, an optional number option, then
// the optional handle's name.
Operation group_op(const char *name, const char *prefix, const char *number_flag,
                   std::function<int(const Case &)> call) {
    return {name,
            {{"cgroup", false}, {"name", true}},
            fixed_type,
            std::move(call),
            [prefix, number_flag](const Case &c) {
                CommandLine text = prefix + word(c.texts[0]);
                if (number_flag != nullptr) {
                    text += number_flag + number(c.number);
                }
                if (c.present[1]) {
                    text += " " ZOR_OPTION_NAME " " + word(c.texts[1]);
                }
                return Commands{run(text)};
            }};
}

// A listing that takes nothing but the list: every line of the command's output.
Operation list_op(const char *name, const char *command, int (*get)(char ***),
                  int (*release)(char **)) {
    return {name,
            {},
            fixed_type,
            [get, release](const Case &) {
                char **list = nullptr;
                const int code = get(&list);
                release(list);
                return code;
            },
            [command](const Case &) {
                return Commands{read(CommandLine(command), RunMode::kPopenList)};
            }};
}

// A listing for a handle: every line of the output of "<prefix><name>".
template <typename Handle>
Operation handle_list_op(const char *name, const char *prefix, int (*get)(Handle *, char ***),
                         int (*release)(char **)) {
    return {name,
            {{"name", false}},
            fixed_type,
            [get, release](const Case &c) {
                Handle handle{0, const_cast<char *>(c.texts[0].c_str())};
                char **list = nullptr;
                const int code = get(&handle, &list);
                release(list);
                return code;
            },
            [prefix](const Case &c) {
                return Commands{read(prefix + word(c.texts[0]), RunMode::kPopenList)};
            }};
}

std::vector<Operation> sys_operations() {
    std::vector<Operation> table;
    table.push_back({"zor_sys_create_container",
                     {{"name", false}, {"opt_b", true}, {"opt_f", true}},
                     [](unsigned random) { return random % 2 == 0 ? ZOR_SYS_TABLE_TYPE : 5; },
                     [](const Case &c) {
                         zor_sys_config config{c.type, c.number, const_cast<char *>(arg(c, 1)),
                                               const_cast<char *>(arg(c, 2))};
                         return zor_sys_create_container(c.texts[0].c_str(), &config);
                     },
                     [](const Case &c) {
                         CommandLine text = "sudo " ZOR_TOOL_SYS " " ZOR_VERB_CREATE
                                            " " ZOR_OPTION_NAME " " +
                                            word(c.texts[0]);
                         if (c.type == ZOR_SYS_TABLE_TYPE) {
                             if (c.number > 0) {
                                 text += " " ZOR_OPTION_MEMORY " " + number(c.number);
                             }
                             if (given(c, 1)) {
                                 text += " " ZOR_OPTION_BASE " " + word(c.texts[1]);
                             }
                             if (given(c, 2)) {
                                 text += " " ZOR_OPTION_FILE " " + word(c.texts[2]);
                             }
                         }
                         return Commands{run(text)};
                     }});
    table.push_back({"zor_sys_destroy_container",
                     {{"name", false}},
                     fixed_type,
                     [](const Case &c) { return zor_sys_destroy_container(c.texts[0].c_str()); },
                     [](const Case &c) {
                         return Commands{run("sudo " ZOR_TOOL_SYS " " ZOR_VERB_DESTROY
                                             " " ZOR_OPTION_NAME " " +
                                             word(c.texts[0]))};
                     }});
    table.push_back({"zor_sys_open",
                     {{"name", false}},
                     fixed_type,
                     [](const Case &c) {
                         zor_sys_handle *handle = zor_sys_open(c.texts[0].c_str());
                         if (handle == nullptr) {
                             return kNoHandle;
                         }
                         zor_sys_close(handle);
                         return 0;
                     },
                     [](const Case &c) {
                         return Commands{
                             run("sudo " ZOR_TOOL_SYS " " ZOR_VERB_SEARCH " " ZOR_OPTION_NAME " " +
                                 word(c.texts[0])),
                             read("sudo " ZOR_TOOL_SYS " " ZOR_VERB_INFO " " ZOR_OPTION_NAME " " +
                                  word(c.texts[0]))};
                     }});
    table.push_back(handle_op("zor_sys_start",
                              "sudo " ZOR_TOOL_SYS " " ZOR_VERB_START " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_start(&handle);
                              }));
    table.push_back(handle_op("zor_sys_stop",
                              "sudo " ZOR_TOOL_SYS " " ZOR_VERB_STOP " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_stop(&handle);
                              }));
    table.push_back(handle_op("zor_sys_get_status",
                              "sudo " ZOR_TOOL_SYS " " ZOR_VERB_STATUS " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_get_status(&handle);
                              }));
    table.push_back({"zor_sys_get_pid",
                     {{"name", false}},
                     fixed_type,
                     [](const Case &c) {
                         zor_sys_handle handle = sys_handle(c);
                         int32_t pid = 0;
                         return zor_sys_get_pid(&handle, &pid);
                     },
                     [](const Case &c) {
                         return Commands{read("sudo " ZOR_TOOL_SYS " " ZOR_VERB_GETPID
                                              " " ZOR_OPTION_NAME " " +
                                              word(c.texts[0]))};
                     }});
    table.push_back(list_op("zor_sys_get_container_list", "sudo " ZOR_TOOL_SYS " " ZOR_VERB_LIST,
                            zor_sys_get_container_list, zor_sys_release_container_list));
    table.push_back(list_op("zor_sys_get_base_list",
                            "sudo " ZOR_TOOL_SYS " " ZOR_VERB_LIST " " ZOR_OPTION_BASE_IMAGE,
                            zor_sys_get_base_list, zor_sys_release_base_list));
    table.push_back(handle_list_op("zor_sys_get_snapshot_list",
                                   "sudo " ZOR_TOOL_SYS " " ZOR_VERB_LIST " " ZOR_OPTION_SNAPSHOT
                                   " " ZOR_OPTION_NAME " ",
                                   zor_sys_get_snapshot_list, zor_sys_release_snapshot_list));
    table.push_back(handle_list_op("zor_sys_get_checkpoint_list",
                                   ZOR_TOOL_SYS " " ZOR_VERB_LIST " " ZOR_OPTION_CHECKPOINT
                                                " " ZOR_OPTION_NAME " ",
                                   zor_sys_get_checkpoint_list, zor_sys_release_checkpoint_list));
    table.push_back({"zor_sys_remove_base",
                     {{"image", false}},
                     fixed_type,
                     [](const Case &c) { return zor_sys_remove_base(c.texts[0].c_str()); },
                     [](const Case &c) {
                         return Commands{run("sudo " ZOR_TOOL_SYS " " ZOR_VERB_REMOVE
                                             " " ZOR_OPTION_BASE_IMAGE " " +
                                             word(c.texts[0]))};
                     }});
    table.push_back({"zor_sys_set_resource",
                     {{"name", false}, {"cgroup", true}, {"app_name", true}, {"core", false}},
                     resource_kind,
                     [](const Case &c) {
                         zor_sys_handle handle = sys_handle(c);
                         zor_sys_resource resource{};
                         resource.type = c.type;
                         if (c.type == 2) {
                             resource.value.core = const_cast<char *>(c.texts[3].c_str());
                         } else if (c.type == 4) {
                             resource.value.memsw = c.number;
                         } else {
                             resource.value.cpu = c.number;
                         }
                         return zor_sys_set_resource(&handle, arg(c, 1), arg(c, 2), resource);
                     },
                     [](const Case &c) {
                         CommandLine text =
                             "sudo " ZOR_TOOL_SYS " " ZOR_VERB_LIMIT + kind_word(c.type) + " " +
                             (c.type == 2 ? word(c.texts[3]) : CommandLine(number(c.number))) +
                             " " ZOR_OPTION_NAME " " + word(c.texts[0]);
                         if (c.present[2]) {
                             text += " " ZOR_OPTION_APPLICATION " " + word(c.texts[2]);
                         }
                         if (c.present[1]) {
                             text += " " ZOR_OPTION_GROUP " " + word(c.texts[1]);
                         }
                         return Commands{run(text)};
                     }});
    table.push_back({"zor_sys_unset_resource",
                     {{"name", false}, {"cgroup", true}, {"app_name", true}},
                     resource_kind,
                     [](const Case &c) {
                         zor_sys_handle handle = sys_handle(c);
                         zor_sys_resource resource{};
                         resource.type = c.type;
                         return zor_sys_unset_resource(&handle, arg(c, 1), arg(c, 2), resource);
                     },
                     [](const Case &c) {
                         CommandLine text = "sudo " ZOR_TOOL_SYS " " ZOR_VERB_UNLIMIT +
                                            kind_word(c.type) + " " ZOR_OPTION_NAME " " +
                                            word(c.texts[0]);
                         if (c.present[2]) {
                             text += " " ZOR_OPTION_APPLICATION " " + word(c.texts[2]);
                         }
                         if (c.present[1]) {
                             text += " " ZOR_OPTION_GROUP_ALIAS " " + word(c.texts[1]);
                         }
                         return Commands{run(text)};
                     }});
    table.push_back({"zor_sys_get_resource",
                     {{"name", false}, {"app_name", true}},
                     resource_kind,
                     [](const Case &c) {
                         zor_sys_handle handle = sys_handle(c);
                         zor_sys_resource resource{};
                         resource.type = c.type;
                         return zor_sys_get_resource(&handle, c.number, arg(c, 1), &resource);
                     },
                     [](const Case &c) {
                         CommandLine text = "sudo " ZOR_TOOL_SYS " " ZOR_VERB_USAGE +
                                            kind_word(c.type) + " " ZOR_OPTION_NAME " " +
                                            word(c.texts[0]);
                         if (c.present[1]) {
                             text += " " ZOR_OPTION_APPLICATION " " + word(c.texts[1]);
                         }
                         if (c.number > 0) {
                             text +=
                                 (c.present[1] ? " " ZOR_OPTION_VPID " " : " " ZOR_OPTION_PID " ") +
                                 number(c.number);
                         }
                         return Commands{read(text)};
                     }});
    table.push_back(handle_op("zor_sys_suspend",
                              "sudo " ZOR_TOOL_SYS " " ZOR_VERB_SUSPEND " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_suspend(&handle);
                              }));
    table.push_back(handle_op("zor_sys_resume",
                              "sudo " ZOR_TOOL_SYS " " ZOR_VERB_RESUME " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_resume(&handle);
                              }));
    table.push_back(tagged_op("zor_sys_checkpoint",
                              ZOR_TOOL_SYS " " ZOR_VERB_CHECKPOINT " " ZOR_OPTION_NAME " ",
                              "checkpoint", [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_checkpoint(&handle, c.texts[1].c_str());
                              }));
    table.push_back(tagged_op("zor_sys_restart",
                              ZOR_TOOL_SYS " " ZOR_VERB_RESTART " " ZOR_OPTION_NAME " ",
                              "checkpoint", [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_restart(&handle, c.texts[1].c_str());
                              }));
    table.push_back(tagged_op("zor_sys_remove_checkpoint",
                              "sudo " ZOR_TOOL_SYS " " ZOR_VERB_REMOVE " " ZOR_OPTION_CHECKPOINT
                              " " ZOR_OPTION_NAME " ",
                              "checkpoint", [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_remove_checkpoint(&handle, c.texts[1].c_str());
                              }));
    table.push_back(tagged_op("zor_sys_save_snapshot",
                              "sudo " ZOR_TOOL_SYS " " ZOR_VERB_SAVE " " ZOR_OPTION_NAME " ",
                              "snapshot", [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_save_snapshot(&handle, c.texts[1].c_str());
                              }));
    table.push_back(tagged_op("zor_sys_load_snapshot",
                              "sudo " ZOR_TOOL_SYS " " ZOR_VERB_LOAD " " ZOR_OPTION_NAME " ",
                              "snapshot", [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_load_snapshot(&handle, c.texts[1].c_str());
                              }));
    table.push_back(tagged_op("zor_sys_remove_snapshot",
                              "sudo " ZOR_TOOL_SYS " " ZOR_VERB_REMOVE " " ZOR_OPTION_SNAPSHOT
                              " " ZOR_OPTION_NAME " ",
                              "snapshot", [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_remove_snapshot(&handle, c.texts[1].c_str());
                              }));
    table.push_back(
        {"zor_sys_commit_snapshot",
         {{"name", false}, {"snapshot", false}, {"base", false}},
         fixed_type,
         [](const Case &c) {
             zor_sys_handle handle = sys_handle(c);
             return zor_sys_commit_snapshot(&handle, c.texts[1].c_str(), c.texts[2].c_str());
         },
         [](const Case &c) {
             return Commands{run("sudo " ZOR_TOOL_SYS " " ZOR_VERB_COMMIT " " ZOR_OPTION_NAME " " +
                                 word(c.texts[0]) + " " ZOR_OPTION_TAG " " + word(c.texts[1]) +
                                 " " ZOR_OPTION_BASE " " + word(c.texts[2]))};
         }});
    table.push_back(handle_op("zor_sys_share",
                              ZOR_TOOL_SYS " " ZOR_VERB_SHARE " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_share(&handle);
                              }));
    table.push_back(handle_op("zor_sys_unshare",
                              ZOR_TOOL_SYS " " ZOR_VERB_UNSHARE " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_sys_handle handle = sys_handle(c);
                                  return zor_sys_unshare(&handle);
                              }));
    table.push_back({"zor_sys_migration_start",
                     {{"name", false}, {"destination", false}},
                     fixed_type,
                     [](const Case &c) {
                         zor_sys_handle handle = sys_handle(c);
                         return zor_sys_migration_start(&handle, c.texts[1].c_str(), c.number);
                     },
                     [](const Case &c) {
                         return Commands{
                             run("sudo " ZOR_TOOL_SYS " " ZOR_VERB_MIGRATE " " ZOR_OPTION_NAME " " +
                                 word(c.texts[0]) + " " ZOR_OPTION_DESTINATION " " +
                                 word(c.texts[1]) + " " ZOR_OPTION_PORT " " + number(c.number))};
                     }});
    table.push_back(
        {"zor_sys_immigration_start",
         {{"name", false}},
         fixed_type,
         [](const Case &c) { return zor_sys_immigration_start(c.texts[0].c_str(), c.number); },
         [](const Case &c) {
             return Commands{run("sudo " ZOR_TOOL_TARGET " " ZOR_OPTION_NAME " " +
                                 word(c.texts[0]) + " " ZOR_OPTION_PORT " " + number(c.number))};
         }});
    table.push_back(group_op(
        "zor_sys_create_cgroup", "sudo " ZOR_TOOL_SYS " " ZOR_VERB_CREATE " " ZOR_OPTION_GROUP " ",
        nullptr, [](const Case &c) {
            zor_sys_handle handle{0, const_cast<char *>(arg(c, 1))};
            return zor_sys_create_cgroup(c.present[1] ? &handle : nullptr, c.texts[0].c_str());
        }));
    table.push_back(group_op("zor_sys_destroy_cgroup",
                             "sudo " ZOR_TOOL_SYS " " ZOR_VERB_DESTROY " " ZOR_OPTION_GROUP " ",
                             nullptr, [](const Case &c) {
                                 zor_sys_handle handle{0, const_cast<char *>(arg(c, 1))};
                                 return zor_sys_destroy_cgroup(c.present[1] ? &handle : nullptr,
                                                               c.texts[0].c_str());
                             }));
    table.push_back(group_op(
        "zor_sys_bind_pid", "sudo " ZOR_TOOL_SYS " " ZOR_VERB_BIND " " ZOR_OPTION_GROUP " ",
        " " ZOR_OPTION_PID " ", [](const Case &c) {
            zor_sys_handle handle{0, const_cast<char *>(arg(c, 1))};
            return zor_sys_bind_pid(c.present[1] ? &handle : nullptr, c.texts[0].c_str(), c.number);
        }));
    table.push_back(group_op("zor_sys_unbind_pid",
                             "sudo " ZOR_TOOL_SYS " " ZOR_VERB_UNBIND " " ZOR_OPTION_GROUP " ",
                             " " ZOR_OPTION_PID " ", [](const Case &c) {
                                 zor_sys_handle handle{0, const_cast<char *>(arg(c, 1))};
                                 return zor_sys_unbind_pid(c.present[1] ? &handle : nullptr,
                                                           c.texts[0].c_str(), c.number);
                             }));
    return table;
}

// The registration operations: the handle's name, then the number option.
Operation register_op(const char *name, const char *prefix, const char *flag,
                      int (*operation)(zor_app_handle *, int32_t)) {
    return {name,
            {{"name", false}},
            fixed_type,
            [operation](const Case &c) {
                zor_app_handle handle = app_handle(c);
                return operation(&handle, c.number);
            },
            [prefix, flag](const Case &c) {
                return Commands{run(prefix + word(c.texts[0]) + flag + number(c.number))};
            }};
}

Operation app_group_op(const char *name, const char *prefix, const char *number_flag,
                       int (*with_number)(zor_app_handle *, const char *, int32_t),
                       int (*without_number)(zor_app_handle *, const char *)) {
    return group_op(name, prefix, number_flag, [with_number, without_number](const Case &c) {
        zor_app_handle handle{0, const_cast<char *>(arg(c, 1))};
        zor_app_handle *given_handle = c.present[1] ? &handle : nullptr;
        return with_number != nullptr ? with_number(given_handle, c.texts[0].c_str(), c.number)
                                      : without_number(given_handle, c.texts[0].c_str());
    });
}

// Entry points that run nothing whatever they are given.
Operation inert_op(const char *name, std::function<int(const Case &)> call) {
    return {name,
            {{"name", false}, {"checkpoint", false}},
            fixed_type,
            std::move(call),
            [](const Case &) { return Commands{}; }};
}

std::vector<Operation> app_operations() {
    std::vector<Operation> table;
    table.push_back({"zor_app_create_container",
                     {{"name", false}, {"opt_b", true}},
                     [](unsigned random) { return random % 2 == 0 ? ZOR_APP_TABLE_TYPE : 100; },
                     [](const Case &c) {
                         zor_app_config config{c.type, c.number, const_cast<char *>(arg(c, 1))};
                         return zor_app_create_container(c.texts[0].c_str(), &config);
                     },
                     [](const Case &c) {
                         CommandLine text = "sudo " ZOR_TOOL_APP " " ZOR_VERB_CREATE
                                            " " ZOR_OPTION_NAME " " +
                                            word(c.texts[0]);
                         if (c.type == ZOR_APP_TABLE_TYPE) {
                             if (c.number > 0) {
                                 text += " " ZOR_OPTION_PORT " " + number(c.number);
                             }
                             if (given(c, 1)) {
                                 text += " " ZOR_OPTION_BASE " " + word(c.texts[1]);
                             }
                         }
                         return Commands{run(text)};
                     }});
    table.push_back({"zor_app_destroy_container",
                     {{"name", false}},
                     fixed_type,
                     [](const Case &c) { return zor_app_destroy_container(c.texts[0].c_str()); },
                     [](const Case &c) {
                         return Commands{run("sudo " ZOR_TOOL_APP " " ZOR_VERB_DESTROY
                                             " " ZOR_OPTION_NAME " " +
                                             word(c.texts[0]))};
                     }});
    table.push_back({"zor_app_open",
                     {{"name", false}},
                     fixed_type,
                     [](const Case &c) {
                         zor_app_handle *handle = zor_app_open(c.texts[0].c_str());
                         if (handle == nullptr) {
                             return kNoHandle;
                         }
                         zor_app_close(handle);
                         return 0;
                     },
                     [](const Case &c) {
                         return Commands{
                             run("sudo " ZOR_TOOL_APP " " ZOR_VERB_SEARCH " " ZOR_OPTION_NAME " " +
                                 word(c.texts[0])),
                             read("sudo " ZOR_TOOL_APP " " ZOR_VERB_INFO " " ZOR_OPTION_NAME " " +
                                  word(c.texts[0]))};
                     }});
    table.push_back(handle_op("zor_app_start",
                              "sudo " ZOR_TOOL_APP " " ZOR_VERB_START " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_app_handle handle = app_handle(c);
                                  return zor_app_start(&handle);
                              }));
    table.push_back(handle_op("zor_app_stop",
                              "sudo " ZOR_TOOL_APP " " ZOR_VERB_STOP " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_app_handle handle = app_handle(c);
                                  return zor_app_stop(&handle);
                              }));
    table.push_back(handle_op("zor_app_get_status",
                              "sudo " ZOR_TOOL_APP " " ZOR_VERB_STATUS " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_app_handle handle = app_handle(c);
                                  return zor_app_get_status(&handle);
                              }));
    table.push_back({"zor_app_get_pid",
                     {{"name", false}},
                     fixed_type,
                     [](const Case &c) {
                         zor_app_handle handle = app_handle(c);
                         int32_t pid = 0;
                         return zor_app_get_pid(&handle, &pid);
                     },
                     [](const Case &c) {
                         return Commands{read("sudo " ZOR_TOOL_APP " " ZOR_VERB_GETPID
                                              " " ZOR_OPTION_NAME " " +
                                              word(c.texts[0]))};
                     }});
    table.push_back(list_op("zor_app_get_container_list", "sudo " ZOR_TOOL_APP " " ZOR_VERB_LIST,
                            zor_app_get_container_list, zor_app_release_container_list));
    table.push_back(list_op("zor_app_get_base_list",
                            "sudo " ZOR_TOOL_APP " " ZOR_VERB_LIST " " ZOR_OPTION_BASE_IMAGE,
                            zor_app_get_base_list, zor_app_release_base_list));
    table.push_back(handle_list_op("zor_app_get_snapshot_list",
                                   "sudo " ZOR_TOOL_APP " " ZOR_VERB_LIST " " ZOR_OPTION_SNAPSHOT
                                   " " ZOR_OPTION_NAME " ",
                                   zor_app_get_snapshot_list, zor_app_release_snapshot_list));
    table.push_back({"zor_app_get_registered_pid_list",
                     {{"name", false}},
                     fixed_type,
                     [](const Case &c) {
                         zor_app_handle handle = app_handle(c);
                         zor_app_pid_pair **list = nullptr;
                         const int code = zor_app_get_registered_pid_list(&handle, &list);
                         zor_app_release_registered_pid_list(list);
                         return code;
                     },
                     [](const Case &c) {
                         return Commands{read("sudo " ZOR_TOOL_APP " " ZOR_VERB_PIDLIST
                                              " " ZOR_OPTION_NAME " " +
                                                  word(c.texts[0]),
                                              RunMode::kPopenPairs)};
                     }});
    table.push_back(inert_op("zor_app_get_checkpoint_list", [](const Case &c) {
        zor_app_handle handle = app_handle(c);
        char **list = nullptr;
        return zor_app_get_checkpoint_list(&handle, &list);
    }));
    table.push_back({"zor_app_remove_base",
                     {{"image", false}},
                     fixed_type,
                     [](const Case &c) { return zor_app_remove_base(c.texts[0].c_str()); },
                     [](const Case &c) {
                         return Commands{run("sudo " ZOR_TOOL_APP " " ZOR_VERB_REMOVE
                                             " " ZOR_OPTION_BASE_IMAGE " " +
                                             word(c.texts[0]))};
                     }});
    table.push_back({"zor_app_set_resource",
                     {{"name", false}, {"cgroup", true}, {"core", false}},
                     resource_kind,
                     [](const Case &c) {
                         zor_app_handle handle = app_handle(c);
                         zor_app_resource resource{};
                         resource.type = c.type;
                         if (c.type == 2) {
                             resource.value.core = const_cast<char *>(c.texts[2].c_str());
                         } else {
                             resource.value.cpu = c.number;
                         }
                         return zor_app_set_resource(&handle, arg(c, 1), resource);
                     },
                     [](const Case &c) {
                         CommandLine text =
                             "sudo " ZOR_TOOL_APP " " ZOR_VERB_LIMIT + kind_word(c.type) + " " +
                             (c.type == 2 ? word(c.texts[2]) : CommandLine(number(c.number))) +
                             " " ZOR_OPTION_NAME " " + word(c.texts[0]);
                         if (c.present[1]) {
                             text += " " ZOR_OPTION_GROUP_ALIAS " " + word(c.texts[1]);
                         }
                         return Commands{run(text)};
                     }});
    table.push_back({"zor_app_unset_resource",
                     {{"name", false}, {"cgroup", true}},
                     resource_kind,
                     [](const Case &c) {
                         zor_app_handle handle = app_handle(c);
                         zor_app_resource resource{};
                         resource.type = c.type;
                         return zor_app_unset_resource(&handle, arg(c, 1), resource);
                     },
                     [](const Case &c) {
                         CommandLine text = "sudo " ZOR_TOOL_APP " " ZOR_VERB_UNLIMIT +
                                            kind_word(c.type) + " " ZOR_OPTION_NAME " " +
                                            word(c.texts[0]);
                         if (c.present[1]) {
                             text += " " ZOR_OPTION_GROUP_ALIAS " " + word(c.texts[1]);
                         }
                         return Commands{run(text)};
                     }});
    table.push_back(
        {"zor_app_get_resource",
         {{"name", true}, {"cgroup", true}},
         resource_kind,
         [](const Case &c) {
             zor_app_handle handle{0, const_cast<char *>(arg(c, 0))};
             zor_app_resource resource{};
             resource.type = c.type;
             return zor_app_get_resource(c.present[0] ? &handle : nullptr, c.number, arg(c, 1),
                                         &resource);
         },
         [](const Case &c) {
             CommandLine text("sudo " ZOR_TOOL_APP " " ZOR_VERB_USAGE + kind_word(c.type));
             if (c.present[0]) {
                 text += " " ZOR_OPTION_NAME " " + word(c.texts[0]);
             }
             if (c.present[1]) {
                 text += " " ZOR_OPTION_GROUP " " + word(c.texts[1]);
             }
             if (c.number > 0) {
                 text += (c.present[0] ? " " ZOR_OPTION_VPID " " : " " ZOR_OPTION_PID " ") +
                         number(c.number);
             }
             return Commands{read(text)};
         }});
    table.push_back(handle_op("zor_app_suspend",
                              "sudo " ZOR_TOOL_APP " " ZOR_VERB_SUSPEND " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_app_handle handle = app_handle(c);
                                  return zor_app_suspend(&handle);
                              }));
    table.push_back(handle_op("zor_app_resume",
                              "sudo " ZOR_TOOL_APP " " ZOR_VERB_RESUME " " ZOR_OPTION_NAME " ",
                              [](const Case &c) {
                                  zor_app_handle handle = app_handle(c);
                                  return zor_app_resume(&handle);
                              }));
    table.push_back(tagged_op("zor_app_save_snapshot",
                              "sudo " ZOR_TOOL_APP " " ZOR_VERB_SAVE " " ZOR_OPTION_NAME " ",
                              "snapshot", [](const Case &c) {
                                  zor_app_handle handle = app_handle(c);
                                  return zor_app_save_snapshot(&handle, c.texts[1].c_str());
                              }));
    table.push_back(tagged_op("zor_app_load_snapshot",
                              "sudo " ZOR_TOOL_APP " " ZOR_VERB_LOAD " " ZOR_OPTION_NAME " ",
                              "snapshot", [](const Case &c) {
                                  zor_app_handle handle = app_handle(c);
                                  return zor_app_load_snapshot(&handle, c.texts[1].c_str());
                              }));
    table.push_back(tagged_op("zor_app_remove_snapshot",
                              "sudo " ZOR_TOOL_APP " " ZOR_VERB_REMOVE " " ZOR_OPTION_SNAPSHOT
                              " " ZOR_OPTION_NAME " ",
                              "snapshot", [](const Case &c) {
                                  zor_app_handle handle = app_handle(c);
                                  return zor_app_remove_snapshot(&handle, c.texts[1].c_str());
                              }));
    table.push_back(
        {"zor_app_commit_snapshot",
         {{"name", false}, {"snapshot", false}, {"base", false}},
         fixed_type,
         [](const Case &c) {
             zor_app_handle handle = app_handle(c);
             return zor_app_commit_snapshot(&handle, c.texts[1].c_str(), c.texts[2].c_str());
         },
         [](const Case &c) {
             return Commands{run("sudo " ZOR_TOOL_APP " " ZOR_VERB_COMMIT " " ZOR_OPTION_NAME " " +
                                 word(c.texts[0]) + " " ZOR_OPTION_TAG " " + word(c.texts[1]) +
                                 " " ZOR_OPTION_BASE " " + word(c.texts[2]))};
         }});
    table.push_back(inert_op("zor_app_checkpoint", [](const Case &c) {
        zor_app_handle handle = app_handle(c);
        return zor_app_checkpoint(&handle, c.texts[1].c_str());
    }));
    table.push_back(inert_op("zor_app_restart", [](const Case &c) {
        zor_app_handle handle = app_handle(c);
        return zor_app_restart(&handle, c.texts[1].c_str());
    }));
    table.push_back(inert_op("zor_app_remove_checkpoint", [](const Case &c) {
        zor_app_handle handle = app_handle(c);
        return zor_app_remove_checkpoint(&handle, c.texts[1].c_str());
    }));
    table.push_back(app_group_op("zor_app_create_cgroup",
                                 "sudo " ZOR_TOOL_APP " " ZOR_VERB_CREATE " " ZOR_OPTION_GROUP_ALIAS
                                 " ",
                                 nullptr, nullptr, zor_app_create_cgroup));
    table.push_back(app_group_op("zor_app_destroy_cgroup",
                                 "sudo " ZOR_TOOL_APP " " ZOR_VERB_DESTROY " " ZOR_OPTION_GROUP " ",
                                 nullptr, nullptr, zor_app_destroy_cgroup));
    table.push_back(app_group_op("zor_app_bind_pid",
                                 "sudo " ZOR_TOOL_APP " " ZOR_VERB_BIND " " ZOR_OPTION_GROUP " ",
                                 " " ZOR_OPTION_PID " ", zor_app_bind_pid, nullptr));
    table.push_back(app_group_op("zor_app_unbind_pid",
                                 "sudo " ZOR_TOOL_APP " " ZOR_VERB_UNBIND " " ZOR_OPTION_GROUP_ALIAS
                                 " ",
                                 " " ZOR_OPTION_PID " ", zor_app_unbind_pid, nullptr));
    table.push_back(app_group_op("zor_app_bind_vpid",
                                 "sudo " ZOR_TOOL_APP " " ZOR_VERB_BIND " " ZOR_OPTION_GROUP " ",
                                 " " ZOR_OPTION_VPID " ", zor_app_bind_vpid, nullptr));
    table.push_back(app_group_op("zor_app_unbind_vpid",
                                 "sudo " ZOR_TOOL_APP " " ZOR_VERB_UNBIND " " ZOR_OPTION_GROUP " ",
                                 " " ZOR_OPTION_VPID " ", zor_app_unbind_vpid, nullptr));
    table.push_back(register_op("zor_app_register_pid",
                                "sudo " ZOR_TOOL_APP " " ZOR_VERB_REGISTER " " ZOR_OPTION_NAME " ",
                                " " ZOR_OPTION_PID " ", zor_app_register_pid));
    table.push_back(register_op("zor_app_unregister_pid",
                                "sudo " ZOR_TOOL_APP " " ZOR_VERB_UNREGISTER " " ZOR_OPTION_NAME
                                " ",
                                " " ZOR_OPTION_PID " ", zor_app_unregister_pid));
    table.push_back(register_op("zor_app_register_vpid",
                                "sudo " ZOR_TOOL_APP " " ZOR_VERB_REGISTER " " ZOR_OPTION_NAME " ",
                                " " ZOR_OPTION_VPID " ", zor_app_register_vpid));
    table.push_back(register_op("zor_app_unregister_vpid",
                                "sudo " ZOR_TOOL_APP " " ZOR_VERB_UNREGISTER " " ZOR_OPTION_NAME
                                " ",
                                " " ZOR_OPTION_VPID " ", zor_app_unregister_vpid));
    return table;
}

}  // namespace

const std::vector<Operation> &operation_table() {
    static const std::vector<Operation> table = [] {
        std::vector<Operation> all = sys_operations();
        for (Operation &operation : app_operations()) {
            all.push_back(std::move(operation));
        }
        return all;
    }();
    return table;
}

}  // namespace hardening
