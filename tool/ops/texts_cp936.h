// The window's Chinese texts as the terminal and the model see them: code page 936
// bytes. This header is their one source; the UTF-8 form stands beside each.
#pragma once

namespace cp936 {

// 写入信息
inline constexpr char kBtnOpenCaption[] = "\xD0\xB4\xC8\xEB\xD0\xC5\xCF\xA2";
// 厂商名称：
inline constexpr char kLabelVendor[] = "\xB3\xA7\xC9\xCC\xC3\xFB\xB3\xC6\xA3\xBA";
// 产品名称：
inline constexpr char kLabelProduct[] = "\xB2\xFA\xC6\xB7\xC3\xFB\xB3\xC6\xA3\xBA";
// 序列号
inline constexpr char kSerialNumberItem[] = "\xD0\xF2\xC1\xD0\xBA\xC5";
// 恢复
inline constexpr char kBtnRestoreCaption[] = "\xBB\xD6\xB8\xB4";
// 不能连接设备！
inline constexpr char kMsgCannotConnectOem[] = "\xB2\xBB\xC4\xDC\xC1\xAC\xBD\xD3\xC9\xE8\xB1\xB8\xA3\xA1";
// 不能设置该设备的OEM开发商信息。
inline constexpr char kMsgVendorFail[] = "\xB2\xBB\xC4\xDC\xC9\xE8\xD6\xC3\xB8\xC3\xC9\xE8\xB1\xB8\xB5\xC4OEM\xBF\xAA\xB7\xA2\xC9\xCC\xD0\xC5\xCF\xA2\xA1\xA3";
// 不能设置该设备的OEM产品名称。
inline constexpr char kMsgProductFail[] = "\xB2\xBB\xC4\xDC\xC9\xE8\xD6\xC3\xB8\xC3\xC9\xE8\xB1\xB8\xB5\xC4OEM\xB2\xFA\xC6\xB7\xC3\xFB\xB3\xC6\xA1\xA3";
// 序列号长度不对
inline constexpr char kMsgSerialLength[] = "\xD0\xF2\xC1\xD0\xBA\xC5\xB3\xA4\xB6\xC8\xB2\xBB\xB6\xD4";
// 序列号非法
inline constexpr char kMsgSerialInvalid[] = "\xD0\xF2\xC1\xD0\xBA\xC5\xB7\xC7\xB7\xA8";

}  // namespace cp936
