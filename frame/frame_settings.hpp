// What distinguishes one copy of the frame from another: the namespace it lives in
// (ZOR_FRAME_NAMESPACE::frame), and the source file name and text tag of its outcome lines.
// Each client library sets all three when it builds its copy (frame/CMakeLists.txt); without
// them the headers compile alone, as the frame's own tests use them.
#pragma once

#ifndef ZOR_FRAME_NAMESPACE
#define ZOR_FRAME_NAMESPACE zor_frame
#endif

#ifndef ZOR_FRAME_LOG_FILE
#define ZOR_FRAME_LOG_FILE "libzorframe"
#endif

#ifndef ZOR_FRAME_LOG_TAG
#define ZOR_FRAME_LOG_TAG "ZOR-FRAME: "
#endif
