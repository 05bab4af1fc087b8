export function Page() {}
const useX = () => require("./x")
class A { #p() {} m() {} }
