# Sourced by run.sh (and by tests/test_engine_checks.py, which feeds it sample
# lines): finds fused multiply-add instructions in `objdump -d` output. Every
# product of the engine must be rounded before it is added, so none may appear.
#
# The mnemonics, as objdump prints them after the address and a tab:
#   x86      vfmadd132ps, vfmsub231sd, vfnmadd213ss, vfnmsub..., vfmaddsub...,
#            vfmsubadd..., FMA4's vfmaddps
#   aarch64  fmadd, fmsub, fnmadd, fnmsub (scalar); fmla, fmls, fmlal, fmlsl
#            (vector); SVE's fmla, fmls, fnmla, fnmls, fmad, fmsb, fnmad,
#            fnmsb (z registers); fcmla; bfmlalb/t, bfmmla, fmmla
#   RISC-V   fmadd.s/.d, fmsub, fnmadd, fnmsub; vector vfmacc, vfnmacc,
#            vfmsac, vfnmsac, vfmadd, vfnmadd, vfmsub, vfnmsub and the
#            widening vfwmacc, vfwnmacc, vfwmsac, vfwnmsac
FUSED_MNEMONICS='v?fn?m(add|sub)[0-9a-z.]*|fn?m(la|ls|ad|sb)[0-9a-z.]*|vfw?n?m(acc|sac)[0-9a-z.]*|fcmla|bfml[0-9a-z.]*|b?fmmla'

# Prints the lines of objdump output (stdin) that hold a fused instruction.
fused_instructions() {
    grep -E $'\t('"$FUSED_MNEMONICS"$')([ \t]|$)' || true
}

# Prints the number of instruction lines of objdump output (stdin): a check
# that found nothing must have looked at code.
instruction_count() {
    grep -cE $'^ *[0-9a-f]+:\t[a-z]' || true
}
