@router.get("/x")
def f():
    import os
class K:
    def m(self): pass
