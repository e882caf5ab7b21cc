// The operations of the fault tests.
#include "fault_operations.hpp"

#include <zorapp.h>
#include <zorsys.h>

namespace hardening {

namespace {

char kName[] = "web";

template <typename List, typename Release>
Observed listed(int code, List **list, Release release) {
    Observed observed;
    observed.code = code;
    observed.list_untouched = list == untouched_marker<List>();
    if (!observed.list_untouched && list != nullptr) {
        for (List **entry = list; *entry != nullptr; ++entry) {
            ++observed.entries;
        }
        release(list);
    }
    return observed;
}

Observed coded(int code) {
    Observed observed;
    observed.code = code;
    return observed;
}

template <typename Handle, typename Close>
Observed opened(Handle *handle, Close close) {
    Observed observed;
    observed.code = handle != nullptr ? 0 : ZOR_SYS_EMISSING;
    if (handle != nullptr) {
        observed.value = handle->type;
        close(handle);
    }
    return observed;
}

}  // namespace

const std::vector<FaultOperation> &fault_operations() {
    static const std::vector<FaultOperation> table = {
        {"zor_sys_start", "zor-sys", "start", RunMode::kSystem, true, false, false,
         [] {
             zor_sys_handle handle{0, kName};
             return coded(zor_sys_start(&handle));
         }},
        {"zor_app_stop", "zor-app", "stop", RunMode::kSystem, true, false, false,
         [] {
             zor_app_handle handle{0, kName};
             return coded(zor_app_stop(&handle));
         }},
        {"zor_sys_share", "zor-sys", "share", RunMode::kSystem, false, false, false,
         [] {
             zor_sys_handle handle{0, kName};
             return coded(zor_sys_share(&handle));
         }},
        {"zor_sys_immigration_start", "zor-target", "*", RunMode::kSystem, true, false, false,
         [] { return coded(zor_sys_immigration_start(kName, 7000)); }},
        {"zor_sys_get_status", "zor-sys", "status", RunMode::kSystem, true, true, false,
         [] {
             zor_sys_handle handle{0, kName};
             return coded(zor_sys_get_status(&handle));
         }},
        {"zor_app_get_status", "zor-app", "status", RunMode::kSystem, true, true, false,
         [] {
             zor_app_handle handle{0, kName};
             return coded(zor_app_get_status(&handle));
         }},
        {"zor_sys_open", "zor-sys", "info", RunMode::kPopenLine, true, false, false,
         [] { return opened(zor_sys_open(kName), zor_sys_close); }},
        {"zor_app_open", "zor-app", "info", RunMode::kPopenLine, true, false, false,
         [] { return opened(zor_app_open(kName), zor_app_close); }},
        {"zor_sys_get_pid", "zor-sys", "getpid", RunMode::kPopenLine, true, false, true,
         [] {
             zor_sys_handle handle{0, kName};
             int32_t pid = -7;
             Observed observed = coded(zor_sys_get_pid(&handle, &pid));
             observed.value = pid;
             return observed;
         }},
        {"zor_app_get_pid", "zor-app", "getpid", RunMode::kPopenLine, true, false, true,
         [] {
             zor_app_handle handle{0, kName};
             int32_t pid = -7;
             Observed observed = coded(zor_app_get_pid(&handle, &pid));
             observed.value = pid;
             return observed;
         }},
        {"zor_sys_get_resource", "zor-sys", "usage --mem", RunMode::kPopenLine, true, false, true,
         [] {
             zor_sys_handle handle{0, kName};
             zor_sys_resource resource{};
             resource.type = 3;
             resource.value.mem = -7;
             Observed observed = coded(zor_sys_get_resource(&handle, 0, nullptr, &resource));
             observed.value = resource.value.mem;
             return observed;
         }},
        {"zor_app_get_resource", "zor-app", "usage --cpu", RunMode::kPopenLine, true, false, true,
         [] {
             zor_app_handle handle{0, kName};
             zor_app_resource resource{};
             resource.type = 1;
             resource.value.cpu = -7;
             Observed observed = coded(zor_app_get_resource(&handle, 0, nullptr, &resource));
             observed.value = resource.value.cpu;
             return observed;
         }},
        {"zor_sys_get_container_list", "zor-sys", "list", RunMode::kPopenList, true, false, false,
         [] {
             char **list = untouched_marker<char>();
             const int code = zor_sys_get_container_list(&list);
             return listed(code, list, zor_sys_release_container_list);
         }},
        {"zor_sys_get_checkpoint_list", "zor-sys", "list --checkpoint", RunMode::kPopenList, false,
         false, false,
         [] {
             zor_sys_handle handle{0, kName};
             char **list = untouched_marker<char>();
             const int code = zor_sys_get_checkpoint_list(&handle, &list);
             return listed(code, list, zor_sys_release_checkpoint_list);
         }},
        {"zor_app_get_base_list", "zor-app", "list --base", RunMode::kPopenList, true, false, false,
         [] {
             char **list = untouched_marker<char>();
             const int code = zor_app_get_base_list(&list);
             return listed(code, list, zor_app_release_base_list);
         }},
        {"zor_app_get_snapshot_list", "zor-app", "list --snapshot", RunMode::kPopenList, true,
         false, false,
         [] {
             zor_app_handle handle{0, kName};
             char **list = untouched_marker<char>();
             const int code = zor_app_get_snapshot_list(&handle, &list);
             return listed(code, list, zor_app_release_snapshot_list);
         }},
        {"zor_app_get_registered_pid_list", "zor-app", "pidlist", RunMode::kPopenPairs, true, false,
         false,
         [] {
             zor_app_handle handle{0, kName};
             zor_app_pid_pair **list = untouched_marker<zor_app_pid_pair>();
             const int code = zor_app_get_registered_pid_list(&handle, &list);
             return listed(code, list, zor_app_release_registered_pid_list);
         }},
    };
    return table;
}

int expected_code(const FaultOperation &operation, int exit_status) {
    switch (operation.mode) {
    case RunMode::kSystem:
        if (operation.status_query && exit_status <= 100) {
            return exit_status;
        }
        return -exit_status;
    case RunMode::kPopenLine:
        return operation.reads_status ? -exit_status : 0;
    case RunMode::kPopenList:
    case RunMode::kPopenPairs:
        return 0;
    }
    return 0;
}

}  // namespace hardening
