# Type stubs for the compiled ``planix`` module. Parameters are positional
# only; an answer is [x, y] of the intersection point, or [] for none.
#   intersection_seg_arc(cx, cy, r, x1, y1, x2, y2): the segment (x1, y1)->(x2, y2)
#     against the full circle of centre (cx, cy), radius r.
#   intersection_seg_seg(p1, p2, p3, p4): the segment p1->p2 against p3->p4,
#     each point a list [x, y] (the module refuses tuples).
from typing import List

def intersection_seg_arc(__arg0: float, __arg1: float, __arg2: float, __arg3: float,
                         __arg4: float, __arg5: float, __arg6: float) -> List[float]: ...
def intersection_seg_seg(__arg0: List[float], __arg1: List[float], __arg2: List[float],
                         __arg3: List[float]) -> List[float]: ...
