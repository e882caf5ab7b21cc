/* The contract between the client libraries (libzorsys, libzorapp) and the runtime's tools
 * (zor-sys, zor-app, zor-target): the tool names, verb words and option words the libraries
 * compose into command lines and the tools accept, the markers and table headers the tools
 * print and the libraries read, and the exit-status boundary between a status number and a
 * refusal. Both sides and the tests include this one header, so a word changed here changes
 * everywhere.
 *
 * Everything is a macro of a string literal or an integer constant: literals concatenate into
 * the libraries' constant command prefixes at compile time ("sudo " ZOR_TOOL_SYS " "
 * ZOR_VERB_START " " ZOR_OPTION_NAME " "), and nothing here defines a symbol. The header is
 * C and C++, and private: it is never installed. */
#ifndef ZOR_CONTRACT_H
#define ZOR_CONTRACT_H

/* The tools, by the names the program is started with. */
#define ZOR_TOOL_SYS "zor-sys"
#define ZOR_TOOL_APP "zor-app"
#define ZOR_TOOL_TARGET "zor-target"

/* Verb words (the first word after the tool). */
#define ZOR_VERB_CREATE "create"
#define ZOR_VERB_DESTROY "destroy"
#define ZOR_VERB_SEARCH "search"
#define ZOR_VERB_INFO "info"
#define ZOR_VERB_START "start"
#define ZOR_VERB_STOP "stop"
#define ZOR_VERB_STATUS "status"
#define ZOR_VERB_GETPID "getpid"
#define ZOR_VERB_SUSPEND "suspend"
#define ZOR_VERB_RESUME "resume"
#define ZOR_VERB_SHARE "share"
#define ZOR_VERB_UNSHARE "unshare"
#define ZOR_VERB_LIST "list"
#define ZOR_VERB_REMOVE "remove"
#define ZOR_VERB_SAVE "save"
#define ZOR_VERB_LOAD "load"
#define ZOR_VERB_COMMIT "commit"
#define ZOR_VERB_CHECKPOINT "checkpoint"
#define ZOR_VERB_RESTART "restart"
#define ZOR_VERB_LIMIT "limit"
#define ZOR_VERB_UNLIMIT "unlimit"
#define ZOR_VERB_USAGE "usage"
#define ZOR_VERB_BIND "bind"
#define ZOR_VERB_UNBIND "unbind"
#define ZOR_VERB_REGISTER "register"
#define ZOR_VERB_UNREGISTER "unregister"
#define ZOR_VERB_PIDLIST "pidlist"
#define ZOR_VERB_MIGRATE "migrate"

/* Option words. */
#define ZOR_OPTION_NAME "-n"        /* container */
#define ZOR_OPTION_MEMORY "-m"      /* zor-sys create: memory limit, MiB */
#define ZOR_OPTION_BASE "-b"        /* base image */
#define ZOR_OPTION_FILE "-f"        /* zor-sys create: configuration file */
#define ZOR_OPTION_PORT "-p"        /* zor-app create, migrate, zor-target: port */
#define ZOR_OPTION_TAG "-t"         /* snapshot or checkpoint */
#define ZOR_OPTION_GROUP "-g"       /* control group */
#define ZOR_OPTION_GROUP_ALIAS "-c" /* control group, as zor-app spells it in some verbs */
#define ZOR_OPTION_APPLICATION "-a" /* zor-sys limit and usage: an application container */
#define ZOR_OPTION_PID "-pid"       /* a process, by its host number */
#define ZOR_OPTION_VPID "-vpid"     /* a process, by its number inside the container */
#define ZOR_OPTION_DESTINATION "-d" /* migrate: the receiving host */
#define ZOR_OPTION_SNAPSHOT "--snapshot"
#define ZOR_OPTION_CHECKPOINT "--checkpoint"
#define ZOR_OPTION_BASE_IMAGE "--base"
#define ZOR_OPTION_CPU "--cpu" /* limit kinds */
#define ZOR_OPTION_CORE "--core"
#define ZOR_OPTION_MEM "--mem"
#define ZOR_OPTION_MEMSW "--memsw"

/* info: the line that carries a container's type number starts with this marker (zor-sys)
 * or holds this one (zor-app); a bare TYPE does not count for zor-app. */
#define ZOR_INFO_SYS_TYPE "TYPE"
#define ZOR_INFO_APP_TYPE "CONTAINER_TYPE"

/* Snapshot and checkpoint listings: a container of the table type lists its records as a
 * table under a header line; the libraries skip lines up to the first that holds the
 * header's marker (its first word). */
#define ZOR_SYS_TABLE_MARKER "ID"
#define ZOR_SYS_TABLE_HEADER ZOR_SYS_TABLE_MARKER " NAME CREATED"
#define ZOR_SYS_TABLE_TYPE 100
#define ZOR_APP_TABLE_MARKER "TAG"
#define ZOR_APP_TABLE_HEADER ZOR_APP_TABLE_MARKER "\tCREATED"
#define ZOR_APP_TABLE_TYPE 1

/* Exit statuses: a status query exits with the container's status number, 0 to
 * ZOR_HIGHEST_STATUS; every refusal exits with ZOR_LOWEST_REFUSAL or above. */
#define ZOR_HIGHEST_STATUS 100
#define ZOR_LOWEST_REFUSAL 101

#endif /* ZOR_CONTRACT_H */
