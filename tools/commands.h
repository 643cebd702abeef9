// The commands of the tarvo tool. Each lives in its own cmd_*.cpp and adds itself (with its
// options and its action) to the parser; main.cpp lists them in the order of the help.
#pragma once

#include "tool.h"

namespace tarvo::tool {

void add_list_command(Tool &tool);
void add_info_command(Tool &tool);
void add_capture_commands(Tool &tool);  // capture and demo
void add_image_commands(Tool &tool);    // depth and gray
void add_param_command(Tool &tool);
void add_reg_command(Tool &tool);
void add_transfer_commands(Tool &tool);  // firmware and data
void add_pointcloud_command(Tool &tool);
void add_view_command(Tool &tool);
void add_record_command(Tool &tool);
void add_export_command(Tool &tool);  // files of a recording's frames
void add_doctor_command(Tool &tool);
#if TARVO_TOOL_DDS
void add_publish_command(Tool &tool);
void add_subscribe_command(Tool &tool);
#endif

// The cameras on the bus as `tarvo list` shows them.
int print_camera_list();

}  // namespace tarvo::tool
