"""vardun.mcp: the MCP server's support modules."""
