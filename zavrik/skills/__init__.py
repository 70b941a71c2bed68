"""Skills of the zavrik tool and the packaging of their templates."""
