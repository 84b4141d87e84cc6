#pragma once

// The help texts of the tool, printed one after the other by "vorn help". Users and scripts
// read them as they stand: change them character for character or not at all.

namespace vorn::cli {

// clang-format off
inline constexpr const char HELP_COMMANDS[] =
    "vorn <command> <arguments>...\n"
    "vorn help                                          : this information.\n"
    "vorn list images                                   : list image's status.\n"
    "vorn check image <vif_image_path>                  : check image's status.\n"
    "vorn check image.contents <vif_image_path>         : check image(header+contents)'s status.\n"
    "vorn check upgrade <vif_image_path>                : check image's upgradable status.\n"
    "vorn upgrade <vif_image_path> ...                  : upgrade region from <vif_image_path>\n"
    "vorn upgrade.check <vif_image_path> ...            : upgrade region from <vif_image_path>, only 'dependency check' stage exec\n"
    "vorn upgrade.install <vif_image_path> ...          : upgrade region from <vif_image_path>, only 'install' stage exec\n"
    "vorn upgrade.setup <vif_image_path> ...            : upgrade region from <vif_image_path>, only 'setup' stage exec\n"
    "vorn upgrade.setup.reboot <vif_image_path> ...     : upgrade region from <vif_image_path>, only 'setup' stage exec and 'reboot'\n"
    "vorn install <region_id> <vif_image_path>          : install image(.img) from <vif_image_path>\n";

inline constexpr const char HELP_ARGUMENTS[] =
    "vorn infos <info_fileds> <bmap_id>|<vif_image_path>: list user selected info fields\n"
    "vorn info hw_version                               : list HW's version information\n"
    "vorn getprop [[<!><@>]prop_name]][comment]         : list/get/run system(user)'s property value\n"
    "vorn setprop [<!><@>]<prop_name> [prop_value]      : set/delete/run system(user)'s property\n"
    "vorn setprop default                               : set to default system's property values\n"
    " (*) <region_id>     : bootloader, boot[#<index>|~<next>], system[#<index>|~<next>], app[#<index>|~<next>], recovery  \n"
    " (*) <vif_image_path>: <file_id>,<proto_id> (ex) file@!,/aaa.vif\n"
    "   `+--<file_id> \n"
    "    .'file@!', (ex) file@!\n"
    "   `+--<proto_id>\n"
    "    .'<filepath>', (ex) '/aaa.vif'\n"
    "    . <filepath> is must leading '/'(only fullpath)\n"
    "(*) <bmap_id>       : Boot-UP Partition Mapping info.\n"
    "   `+--bmap@<region>\n"
    "      .<region> : boot, system, app, recovery\n"
    "         - boot    : Linux Kernel & Init Ramdisk Partition\n"
    "         - system  : Android System Binary Partition\n"
    "         - app     : Android User/System App Partition\n"
    "         - recovery: Androdid Recovery Partition\n"
    "      . (ex) bmap@app, bmap@system, bmap@app, bmap@recovery\n";

inline constexpr const char HELP_INFO_FIELDS[] =
    " (*) <info_fileds>   : comma(,) seperated info fields(ex: 'version,alias,req_hw' )\n"
    "   `+-- <info_field_name>,<info_field_name>,....\n"
    "   `+-- <info_field_name> :\n"
    "        - version          : version(string)\n"
    "        - magic            : magic(binary,8Byte)\n"
    "        - hdr_type         : header type(uint32)\n"
    "        - hdr_version      : header version(uint32)\n"
    "        - hdr_cap          : header capability(uint32)\n"
    "        - hdr_size         : header size(uint32)\n"
    "        - hdr_checksum     : header's checksum(uint32)\n"
    "        - hdr_crc32        : header's crc32(uint32)\n"
    "        - hdr_sha1         : header's message digest(binary,20byte)\n"
    "        - alias            : <region> name(string) : boot,system,app,recovery\n"
    "        - timestamp        : timestamp-GMT(uint32)\n"
    "        - req_hw           : HW dependency string(dependency string)\n"
    "        - req_sw0          : SW dependency string0(dependency string)\n"
    "        - req_sw1          : SW dependency string1(dependency string)\n"
    "        - req_sw2          : SW dependency string2(dependency string)\n"
    "        - req_sw3          : SW dependency string3(dependency string)\n"
    "        - req_sw4          : SW dependency string4(dependency string)\n"
    "        - contents_off     : contents's offset(uint32)\n"
    "        - contents_size    : contents's size(uint32)\n"
    "        - contents_type    : contents's type(uint32)\n"
    "        - contents_checksum: contents's checksum(uint32)\n"
    "        - contents_crc32   : contents's crc32(uint32)\n"
    "        - contents_sha1    : contents's message digest(binary,20byte)\n"
    "    `+-- printout value format :  '|' seperated values\n"
    "        - (uint32) type value format : 0xaabbccdd\n"
    "        - (string) type value format : test string\n"
    "        - (binary) type value format : <length>,AABBCCDDEE, (ex) 4,01020304\n"
    "        - (ex1) <info_fileds> -> version,alias\n"
    "                printout value-> 1.0.0-rc39|boot\n"
    "        - (ex2) <info_fileds> -> version,hdr_checksum,hdr_sha1\n"
    "                printout value-> 1.0.0-rc39|0x12738fed|20,1234567890ABCDEF1234567890ABCDEF12345678\n";

// Commands added since the three texts above were fixed, printed after them.
inline constexpr const char HELP_MORE_COMMANDS[] =
    "vorn check image.signature <vif_image_path>        : check image's signature and signer.\n"
    "vorn upgrade.status                                : show a pending upgrade (trial boot): off, none, pending, fallback\n"
    "vorn upgrade.commit                                : keep the running upgraded images for good\n"
    "vorn upgrade.rollback                              : boot the images before the pending upgrade at the next boot\n"
    " (*) <vif_image_path> of check upgrade, install, upgrade*: also http://... or https://... (an image on an update server)\n";
// clang-format on

}  // namespace vorn::cli
