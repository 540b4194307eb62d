#include "declarations.hpp"

#include <iterator>

#include "bodies.hpp"

namespace vardun {

namespace {

constexpr ParamKind kPositional = ParamKind::PositionalOrKeyword;
constexpr ParamKind kKeywordOnly = ParamKind::KeywordOnly;

constexpr ParamSpec kSelf = {"self", kPositional, ParamCheck::Any, DefaultValue::Required, nullptr};
constexpr ParamSpec kCls = {"cls", kPositional, ParamCheck::Any, DefaultValue::Required, nullptr};

constexpr ParamSpec required_str(const char* name) {
  return {name, kPositional, ParamCheck::ExactStr, DefaultValue::Required, "str"};
}

constexpr ParamSpec required_list(const char* name) {
  return {name, kPositional, ParamCheck::ExactList, DefaultValue::Required, "list[dict]"};
}

}  // namespace

const char kModuleDoc[] =
    "MCP 多用户注册表。\n\n本模块负责管理 `~/.config/vardun/mcp_users.json`，为团队共享 MCP "
    "Server\n"
    "提供 API Key 到独立凭证目录的映射。注册表只保存 API Key 哈希，原始 Key\n"
    "仅在创建或轮换时展示一次。\n";
const char kUserRecordDoc[] = "MCP 用户记录，包含凭证隔离目录。";
const char kStoreDoc[] = "MCP 用户注册表管理器。";

const FunctionSpec kGenerateApiKey = {
    .name = "generate_api_key",
    .qualname = "generate_api_key",
    .doc =
        "生成固定格式的高熵 API Key（模块级公共接口）。\n\n"
        "    格式：vardun-mcp-<32位随机字母数字>\n"
        "    供 server 和 MCPUserStore 共用，避免重复实现。\n\n"
        "    Returns:\n"
        "        高熵 API Key 字符串\n"
        "    ",
    .params = {},
    .param_count = 0,
    .return_annotation = "str",
    .body = bodies::generate_api_key,
    .result_check = ResultCheck::ExactStrOrNone,
};

const FunctionSpec kUserToDict = {
    .name = "to_dict",
    .qualname = "MCPUser.to_dict",
    .doc = "转换为对外展示的 JSON 结构，不包含 API Key 哈希。",
    .params = {kSelf},
    .param_count = 1,
    .return_annotation = "dict",
    .body = bodies::user_to_dict,
};

const FunctionSpec kStoreMethods[] = {
    {
        .name = "__init__",
        .qualname = "MCPUserStore.__init__",
        .doc = nullptr,
        .params = {kSelf,
                   {"base_dir", kPositional, ParamCheck::Any, DefaultValue::None, "Path | None"}},
        .param_count = 2,
        .return_annotation = nullptr,
        .body = bodies::store_init,
    },
    {
        .name = "list_users",
        .qualname = "MCPUserStore.list_users",
        .doc = "列出所有 MCP 用户，不返回 API Key 哈希。",
        .params = {kSelf},
        .param_count = 1,
        .return_annotation = "list[MCPUser]",
        .body = bodies::list_users,
    },
    {
        .name = "add_user",
        .qualname = "MCPUserStore.add_user",
        .doc = "创建 MCP 用户，并返回只展示一次的明文 API Key。",
        .params = {kSelf,
                   {"description", kPositional, ParamCheck::ExactStr, DefaultValue::EmptyStr,
                    "str"}},
        .param_count = 2,
        .return_annotation = "dict",
        .body = bodies::add_user,
    },
    {
        .name = "remove_user",
        .qualname = "MCPUserStore.remove_user",
        .doc = "删除 MCP 用户，默认同步删除该用户的隔离凭证目录。",
        .params = {kSelf,
                   required_str("user_id"),
                   {"keep_credentials", kKeywordOnly, ParamCheck::Truth, DefaultValue::False,
                    "bool"}},
        .param_count = 3,
        .return_annotation = "bool",
        .body = bodies::remove_user,
    },
    {
        .name = "rotate_api_key",
        .qualname = "MCPUserStore.rotate_api_key",
        .doc = "轮换指定用户的 API Key，返回新 Key 明文。",
        .params = {kSelf, required_str("user_id")},
        .param_count = 2,
        .return_annotation = "dict",
        .body = bodies::rotate_api_key,
    },
    {
        .name = "verify_api_key",
        .qualname = "MCPUserStore.verify_api_key",
        .doc = "校验 API Key，成功时返回对应 MCP 用户。",
        .params = {kSelf,
                   {"api_key", kPositional, ParamCheck::ExactStrOrNone, DefaultValue::Required,
                    "str | None"}},
        .param_count = 2,
        .return_annotation = "MCPUser | None",
        .body = bodies::verify_api_key,
    },
    {
        .name = "credential_dir",
        .qualname = "MCPUserStore.credential_dir",
        .doc = "返回指定用户的凭证隔离目录。",
        .params = {kSelf, required_str("user_id")},
        .param_count = 2,
        .return_annotation = "Path",
        .body = bodies::credential_dir,
    },
    {
        .name = "normalize_api_key",
        .qualname = "MCPUserStore.normalize_api_key",
        .doc = "兼容 Bearer 头与纯 API Key 两种输入。",
        .params = {kCls, required_str("raw")},
        .param_count = 2,
        .return_annotation = "str",
        .body = bodies::normalize_api_key,
        .binding = Binding::ClassMethod,
    },
    {
        .name = "hash_api_key",
        .qualname = "MCPUserStore.hash_api_key",
        .doc = "计算 API Key 的 SHA256 哈希。",
        .params = {kCls, required_str("api_key")},
        .param_count = 2,
        .return_annotation = "str",
        .body = bodies::hash_api_key,
        .result_check = ResultCheck::ExactStrOrNone,
        .binding = Binding::ClassMethod,
    },
    {
        .name = "_load",
        .qualname = "MCPUserStore._load",
        .doc = "读取用户注册表，文件不存在时返回空列表。",
        .params = {kSelf},
        .param_count = 1,
        .return_annotation = "list[dict]",
        .body = bodies::load,
        .result_check = ResultCheck::ExactListOrNone,
    },
    {
        .name = "_save",
        .qualname = "MCPUserStore._save",
        .doc = "原子写入用户注册表，避免并发写导致 JSON 损坏。",
        .params = {kSelf, required_list("users")},
        .param_count = 2,
        .return_annotation = "None",
        .body = bodies::save,
    },
    {
        .name = "_locked",
        .qualname = "MCPUserStore._locked",
        .doc = "写操作文件锁；Windows 无 fcntl 时退化为单进程锁语义。",
        .params = {kSelf},
        .param_count = 1,
        .return_annotation = "Iterator[None]",
        .body = bodies::locked,
        .binding = Binding::ContextManager,
        .generator = true,
    },
    {
        .name = "_ensure_credential_dir",
        .qualname = "MCPUserStore._ensure_credential_dir",
        .doc = "创建并收紧用户凭证目录权限。",
        .params = {kSelf, required_str("user_id")},
        .param_count = 2,
        .return_annotation = "None",
        .body = bodies::ensure_credential_dir,
    },
    {
        .name = "_remove_credential_dir",
        .qualname = "MCPUserStore._remove_credential_dir",
        .doc = "删除用户凭证目录，避免残留可复用登录态。",
        .params = {kSelf, required_str("user_id")},
        .param_count = 2,
        .return_annotation = "None",
        .body = bodies::remove_credential_dir,
    },
    {
        .name = "_new_user_id",
        .qualname = "MCPUserStore._new_user_id",
        .doc = "生成不冲突的短用户 ID。",
        .params = {kSelf, required_list("users")},
        .param_count = 2,
        .return_annotation = "str",
        .body = bodies::new_user_id,
        .result_check = ResultCheck::ExactStrOrNone,
    },
    {
        .name = "_new_api_key",
        .qualname = "MCPUserStore._new_api_key",
        .doc = "生成固定前缀的高熵 API Key（委托给模块级 generate_api_key）。",
        .params = {kSelf},
        .param_count = 1,
        .return_annotation = "str",
        .body = bodies::new_api_key,
        .result_check = ResultCheck::ExactStrOrNone,
    },
};

const std::size_t kStoreMethodCount = std::size(kStoreMethods);

}  // namespace vardun
