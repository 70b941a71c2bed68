"""The zavrik tool."""
