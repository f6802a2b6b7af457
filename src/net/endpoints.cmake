# The compiled-in endpoints the lookups use by default.
target_compile_definitions(qvcore PRIVATE QV_API_HOST="${QV_API_HOST}" QV_ROOM_HOST="${QV_ROOM_HOST}")
