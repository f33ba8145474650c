"""End-to-end demo of plim_ffi (the Link class is not usable yet)."""
import plim_ffi

print("plim_ffi imported from", plim_ffi.__file__, "- the Link class is not available yet.")
