"""vardun: tools for a team-shared MCP server."""
