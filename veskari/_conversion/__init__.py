"""The helpers of ``veskari.convert``: the walks' rules, the trial forward and
the check's copies, the watch on the caller's weights, the conversion of
children under digit keys, checkpoint keys, output comparison and quieting
other libraries' logs. Not part of the API."""
